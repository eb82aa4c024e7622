# Shared by scripts/run and scripts/test: installs the Debian packages the build and the
# tests need (only those missing, so a warm machine installs nothing), then configures and
# builds into build/. Sourced, not run.
set -euo pipefail

TOVAMIX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$TOVAMIX_ROOT/build}"

PACKAGES=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-qpa-plugins
    libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
    libx11-dev libxext-dev libxfixes-dev libxtst-dev libxss-dev libxcb1-dev libxcb-keysyms1-dev
    libgtest-dev libcli11-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-x gstreamer1.0-pulseaudio
    gstreamer1.0-plugins-base-apps libxvidcore-dev libges-1.0-dev
    xvfb xauth x11-utils x11-apps xdotool imagemagick ffmpeg openbox trayer
    pulseaudio pulseaudio-utils libpulse-dev python3
    clang-format desktop-file-utils appstream clang libclang-rt-14-dev llvm
    dvdauthor genisoimage lsdvd libgsf-bin libgsf-1-dev libdvdread-dev libdvdnav-dev
    fonts-wqy-microhei
)

ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# TOVAMIX_FAST_BUILD=1 (set by .ci/run) builds for a run that throws the build away: each
# library's files compiled in batches (a unity build: the heavy Qt and GStreamer headers are
# parsed once a batch) and line tables only for debugging information. Three to four times
# faster than file by file with full debugging information; the same program.
fast_build_args() {
    if [ "${TOVAMIX_FAST_BUILD:-0}" = 1 ]; then echo "-DCMAKE_UNITY_BUILD=ON"; fi
}

build_project() {
    if [ ! -f "$BUILD_DIR/build.ninja" ]; then
        local flags=()
        if [ "${TOVAMIX_FAST_BUILD:-0}" = 1 ]; then
            flags=("-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
        fi
        cmake -S "$TOVAMIX_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            $(fast_build_args) "${flags[@]}"
    fi
    cmake --build "$BUILD_DIR" -j "$(nproc)"
}

# Starts an Xvfb on a free display and exports DISPLAY; it ends with this shell. It never
# resets: a server resets when its last client leaves and refuses connections meanwhile, and
# the tests start and end clients all the time.
start_xvfb() {
    local geometry="${1:-1920x1080x24}"
    local fifo
    fifo="$(mktemp -u)"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -br -noreset 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local number
    read -r number <"$fifo"
    rm -f "$fifo"
    export DISPLAY=":$number"
    trap 'kill ${XVFB_PID:-} ${PULSE_PID:-} 2>/dev/null || true' EXIT
}

# Starts a PulseAudio daemon of the tests' own: a null output and a virtual microphone that
# hears it (a source remapped from the output's monitor), so sound devices can be listed,
# recorded and played without hardware. No module gives a virtual source input ports, so the
# microphone has the one input line of a source without ports. It ends with this shell.
# An already running server is used as it is.
start_pulseaudio() {
    if pactl info >/dev/null 2>&1; then return 0; fi
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit \
        -L module-native-protocol-unix \
        -L "module-null-sink sink_name=tovamix_out" \
        -L "module-remap-source master=tovamix_out.monitor source_name=tovamix_mic source_properties=device.description=Virtual-Microphone" \
        >/dev/null 2>&1 &
    PULSE_PID=$!
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    # Something for the microphone to hear: a quiet tone played steadily into the null output.
    # An idle null output hands its monitor the sound late and in bursts (the recorder fills
    # such gaps with silence); with a stream playing, the microphone delivers sound as steadily
    # as a real one, and the recordings carry the tone.
    gst-launch-1.0 -q audiotestsrc wave=sine freq=440 volume=0.2 is-live=true ! \
        pulsesink device=tovamix_out >/dev/null 2>&1 &
    VOICE_PID=$!
    trap 'kill ${XVFB_PID:-} ${PULSE_PID:-} ${VOICE_PID:-} 2>/dev/null || true' EXIT
}
