// Reading DVD-Video volumes with libdvdread. libdvdread's own messages (a missing CSS
// library, a device name it cannot read) go nowhere: what matters is reported as an error.
#include "DvdVolume.h"

#include <dvdread/dvd_reader.h>
#include <dvdread/ifo_read.h>
#include <dvdread/ifo_types.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace platform::dshow {

namespace {

namespace fs = std::filesystem;

void quiet(void*, dvd_logger_level_t, const char*, va_list) {}
const dvd_logger_cb QuietLogger{&quiet};

struct DvdCloser {
    void operator()(dvd_reader_t* d) const { DVDClose(d); }
};
struct IfoCloser {
    void operator()(ifo_handle_t* i) const { ifoClose(i); }
};
using DvdHandle = std::unique_ptr<dvd_reader_t, DvdCloser>;
using IfoHandle = std::unique_ptr<ifo_handle_t, IfoCloser>;

DvdHandle openDvd(const std::string& volume) {
    return DvdHandle(DVDOpen2(nullptr, &QuietLogger, volume.c_str()));
}

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

struct FileCloser {
    void operator()(dvd_file_t* f) const { DVDCloseFile(f); }
};
using DvdFile = std::unique_ptr<dvd_file_t, FileCloser>;

// Where the video manager's title table starts: the sector number at byte 0xC4 of
// VIDEO_TS.IFO (and of its backup), big-endian. The table opens with its count of titles (2
// bytes), 2 zero bytes and the offset of its last byte (4).
constexpr size_t TitleTableSectorAt = 0xC4;
constexpr size_t TitleTableHeaderSize = 8;

uint32_t bigEndian32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Whether one copy of the video manager (domain: the IFO or its backup) is safe to hand to
// ifoOpen: its title table lies inside the file. libdvdread 6.1 frees the table twice when the
// table's header cannot be read (on the failed read, and again when it closes the file), which
// aborts the program; and it allocates the table at the size the header states, up to 4 GB,
// before it finds the file too short. A copy that is absent, too short for its header or not a
// video manager is safe: libdvdread refuses it before it reaches the table.
bool titleTableReadable(dvd_reader_t* dvd, dvd_read_domain_t domain) {
    DvdFile file(DVDOpenFile(dvd, 0, domain));
    if (!file) return true;
    unsigned char mat[TitleTableSectorAt + 4];
    if (DVDFileSeek(file.get(), 0) != 0 ||
        DVDReadBytes(file.get(), mat, sizeof mat) != ssize_t(sizeof mat) ||
        std::memcmp(mat, "DVDVIDEO-VMG", 12) != 0)
        return true;
    const uint32_t sector = bigEndian32(mat + TitleTableSectorAt);
    if (sector == 0) return true;
    // Only whole sectors of the file can be read.
    const int64_t fileBytes = int64_t(DVDFileSize(file.get())) * DVD_VIDEO_LB_LEN;
    const int64_t tableAt = int64_t(sector) * DVD_VIDEO_LB_LEN;
    unsigned char head[TitleTableHeaderSize];
    if (tableAt + int64_t(sizeof head) > fileBytes ||
        DVDFileSeek(file.get(), int32_t(tableAt)) != int32_t(tableAt) ||
        DVDReadBytes(file.get(), head, sizeof head) != ssize_t(sizeof head))
        return false;
    // The table's last byte, counted from its start; 0 on discs that leave it unset.
    const uint32_t lastByte = bigEndian32(head + 4);
    return lastByte == 0 || tableAt + int64_t(lastByte) < fileBytes;
}

// The volume's video manager as libdvdread reads it; none when it is damaged (see above).
IfoHandle openVideoManager(dvd_reader_t* dvd) {
    if (!titleTableReadable(dvd, DVD_READ_INFO_FILE) ||
        !titleTableReadable(dvd, DVD_READ_INFO_BACKUP_FILE))
        return nullptr;
    return IfoHandle(ifoOpen(dvd, 0));
}

// Whether libdvdread reads the volume's video manager (VIDEO_TS.IFO or its backup).
bool opensAsDvdVideo(const std::string& volume) {
    DvdHandle dvd = openDvd(volume);
    if (!dvd) return false;
    IfoHandle vmg = openVideoManager(dvd.get());
    return vmg && vmg->tt_srpt;
}

int bcd(uint8_t v) {
    return (v >> 4) * 10 + (v & 0x0F);
}

// A playback time in seconds; frames counted at the rate the time's top bits give.
double seconds(const dvd_time_t& t, int* fps = nullptr) {
    const int rate = (t.frame_u & 0xC0) >> 6 == 3 ? 30 : 25;
    if (fps) *fps = rate;
    return bcd(t.hour) * 3600.0 + bcd(t.minute) * 60.0 + bcd(t.second) +
           double(bcd(t.frame_u & 0x3F)) / rate;
}

std::string language(uint16_t code) {
    const char a = char(code >> 8), b = char(code & 0xFF);
    if (!std::isalpha(static_cast<unsigned char>(a)) ||
        !std::isalpha(static_cast<unsigned char>(b)))
        return "xx";
    return {a, b};
}

const char* audioFormat(int f) {
    switch (f) {
    case 0:
        return "ac3";
    case 2:
        return "mpeg1";
    case 3:
        return "mpeg2ext";
    case 4:
        return "lpcm";
    case 5:
        return "sdds";
    case 6:
        return "dts";
    }
    return "unknown";
}

// One title from its title set's IFO; false when the IFO does not hold what the title names.
bool readTitle(ifo_handle_t* vts, int ttn, DvdTitleInfo* t) {
    if (!vts->vts_ptt_srpt || !vts->vts_pgcit || !vts->vtsi_mat) return false;
    if (ttn < 1 || ttn > vts->vts_ptt_srpt->nr_of_srpts) return false;
    const ttu_t& parts = vts->vts_ptt_srpt->title[ttn - 1];
    if (parts.nr_of_ptts == 0 || !parts.ptt) return false;
    pgc_t* pgc = nullptr;
    for (int p = 0; p < parts.nr_of_ptts; ++p) {
        const ptt_info_t& ptt = parts.ptt[p];
        if (ptt.pgcn < 1 || ptt.pgcn > vts->vts_pgcit->nr_of_pgci_srp) return false;
        pgc_t* chapterPgc = vts->vts_pgcit->pgci_srp[ptt.pgcn - 1].pgc;
        if (!chapterPgc || !chapterPgc->program_map || !chapterPgc->cell_playback) return false;
        if (!pgc) {
            pgc = chapterPgc;
            t->duration = seconds(pgc->playback_time, &t->framesPerSecond);
        }
        // Chapters spread over other program chains are counted from their own chain's start;
        // the discs this reads keep a title in one chain.
        if (ptt.pgn < 1 || ptt.pgn > chapterPgc->nr_of_programs) return false;
        const int firstCell = chapterPgc->program_map[ptt.pgn - 1];
        if (firstCell < 1 || firstCell > chapterPgc->nr_of_cells) return false;
        double start = 0;
        for (int c = 0; c < firstCell - 1; ++c)
            start += seconds(chapterPgc->cell_playback[c].playback_time);
        t->chapterStarts.push_back(start);
    }
    const vtsi_mat_t* mat = vts->vtsi_mat;
    for (int a = 0; a < std::min<int>(mat->nr_of_vts_audio_streams, 8); ++a) {
        const audio_attr_t& attr = mat->vts_audio_attr[a];
        t->audio.push_back(
            {audioFormat(attr.audio_format), attr.channels + 1, language(attr.lang_code)});
    }
    for (int s = 0; s < std::min<int>(mat->nr_of_vts_subp_streams, 32); ++s)
        t->subtitles.push_back(language(mat->vts_subp_attr[s].lang_code));
    return true;
}

} // namespace

std::string discIdText(const DvdDiscId& id) {
    std::string s;
    char hex[3];
    for (unsigned char b : id) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        s += hex;
    }
    return s;
}

std::string findDvdVolume(const std::string& path, std::string* reason) {
    const auto fail = [reason](const std::string& why) {
        if (reason) *reason = why;
        return std::string();
    };
    std::error_code ec;
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return fail("no such file or folder");
    fs::path volume = path;
    if (S_ISREG(st.st_mode) && iequals(volume.extension().string(), ".IFO"))
        volume = fs::absolute(volume, ec).parent_path();
    if (fs::is_directory(volume, ec)) {
        // A VIDEO_TS folder stands for the volume that holds it.
        fs::path p = volume;
        if (p.filename().empty()) p = p.parent_path();
        if (iequals(p.filename().string(), "VIDEO_TS")) volume = fs::absolute(p, ec).parent_path();
        bool holds = false;
        for (const auto& entry : fs::directory_iterator(volume, ec))
            if (entry.is_directory(ec) && iequals(entry.path().filename().string(), "VIDEO_TS"))
                holds = true;
        if (!holds) return fail("the folder holds no VIDEO_TS folder");
    } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        return fail("neither a folder, an image file nor a disc drive");
    }
    if (!opensAsDvdVideo(volume.string())) return fail("not a DVD-Video volume");
    return volume.string();
}

std::string findDvdDrive() {
    std::vector<std::string> drives{"/dev/dvd"};
    for (int i = 0; i <= 9; ++i)
        drives.push_back("/dev/sr" + std::to_string(i));
    for (const std::string& d : drives) {
        struct stat st;
        if (stat(d.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && opensAsDvdVideo(d)) return d;
    }
    return {};
}

bool readDvdDiscId(const std::string& volume, DvdDiscId* id) {
    DvdHandle dvd = openDvd(volume);
    return dvd && DVDDiscID(dvd.get(), id->data()) == 0;
}

bool readDvdVolume(const std::string& volume, DvdVolumeInfo* info, std::string* error) {
    const auto fail = [error, &volume](const std::string& why) {
        if (error) *error = volume + ": " + why;
        return false;
    };
    *info = {};
    info->volume = volume;
    DvdHandle dvd = openDvd(volume);
    if (!dvd) return fail("cannot be opened as a DVD volume");
    IfoHandle vmg = openVideoManager(dvd.get());
    if (!vmg || !vmg->tt_srpt || !vmg->vmgi_mat)
        return fail("VIDEO_TS.IFO cannot be read (damaged, or not DVD-Video)");
    const int titleSets = vmg->vmgi_mat->vmg_nr_of_title_sets;
    const tt_srpt_t* titles = vmg->tt_srpt;
    std::vector<IfoHandle> sets(size_t(titleSets) + 1);
    for (int i = 0; i < titles->nr_of_srpts; ++i) {
        if (!titles->title) return fail("VIDEO_TS.IFO lists no titles");
        const title_info_t& ti = titles->title[i];
        if (ti.title_set_nr < 1 || ti.title_set_nr > titleSets)
            return fail("title " + std::to_string(i + 1) + " names a title set that is not there");
        IfoHandle& vts = sets[ti.title_set_nr];
        if (!vts) vts.reset(ifoOpen(dvd.get(), ti.title_set_nr));
        char name[16];
        std::snprintf(name, sizeof name, "VTS_%02d_0.IFO", ti.title_set_nr);
        if (!vts) return fail(std::string(name) + " cannot be read (damaged or missing)");
        DvdTitleInfo t;
        t.number = i + 1;
        if (!readTitle(vts.get(), ti.vts_ttn, &t))
            return fail(std::string(name) + " does not describe title " + std::to_string(i + 1));
        info->titles.push_back(std::move(t));
    }
    if (DVDDiscID(dvd.get(), info->discId.data()) != 0) return fail("the disc id cannot be read");
    return true;
}

} // namespace platform::dshow
