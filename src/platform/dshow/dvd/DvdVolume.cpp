// Reading DVD-Video volumes with libdvdread. libdvdread's own messages (a missing CSS
// library, a device name it cannot read) go nowhere: what matters is reported as an error.
#include "platform/dshow/dvd/DvdVolume.h"
#include "platform/dshow/dvd/DvdNavigationCheck.h"

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

uint16_t bigEndian16(const unsigned char* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t bigEndian32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Checks of an IFO file made before libdvdread parses it. libdvdread 6.1 frees a table twice
// when part of it cannot be read (it frees it on the failed read, and again when it closes the
// file), which aborts the program: the video manager's title table, and the commands of any
// program chain; and its cleanup after a program chain it cannot read follows a null pointer.
// It reads nothing but whole sectors, so a table that runs past the file's last whole sector is
// such a part; an IFO naming one is refused. Whatever libdvdread refuses before it reaches these
// tables (a missing file, a header too short, another identifier) is left to it. The byte
// positions are those of the DVD-Video IFO layout.
class IfoCheck {
  public:
    IfoCheck(dvd_reader_t* dvd, int titleSet, dvd_read_domain_t domain)
        : file_(DVDOpenFile(dvd, titleSet, domain)) {
        if (file_) size_ = int64_t(DVDFileSize(file_.get())) * DVD_VIDEO_LB_LEN;
    }

    // Whether libdvdread may open the file.
    bool safe() {
        unsigned char mat[0xD4];
        if (!file_ || !read(0, mat, sizeof mat)) return true;
        bool ok = true;
        if (std::memcmp(mat, "DVDVIDEO-VMG", 12) == 0)
            ok = titleTableInside(bigEndian32(mat + 0xC4)) &&
                 programChainSafe(bigEndian32(mat + 0x84)) && menusSafe(bigEndian32(mat + 0xC8));
        else if (std::memcmp(mat, "DVDVIDEO-VTS", 12) == 0)
            ok = (bigEndian32(mat + 0xCC) == 0 ||
                  chainTableSafe(int64_t(bigEndian32(mat + 0xCC)) * DVD_VIDEO_LB_LEN)) &&
                 menusSafe(bigEndian32(mat + 0xD0));
        // A walk cut short by the limit has not seen every table.
        return ok && reads_ <= MaxReads;
    }

  private:
    // n bytes at offset; false when they are not all inside the file's whole sectors.
    bool read(int64_t offset, unsigned char* out, size_t n) {
        if (offset < 0 || offset + int64_t(n) > size_ || offset > INT32_MAX) return false;
        if (++reads_ > MaxReads) return false;
        return DVDFileSeek(file_.get(), int32_t(offset)) == int32_t(offset) &&
               DVDReadBytes(file_.get(), out, n) == ssize_t(n);
    }
    bool inside(int64_t end) const { return end <= size_ && reads_ <= MaxReads; }

    // The title table: a count, 2 zero bytes, its last byte from its start; then the titles.
    // libdvdread allocates it at the size its header states (up to 4 GB) and reads it whole.
    bool titleTableInside(uint32_t sector) {
        if (sector == 0) return true;
        const int64_t at = int64_t(sector) * DVD_VIDEO_LB_LEN;
        unsigned char head[8];
        if (!read(at, head, sizeof head)) return false;
        // A table ending inside its own header gives libdvdread a length near 4 GB to read,
        // past the buffer it reads into.
        const uint32_t lastByte = bigEndian32(head + 4);
        return lastByte == 0 || (lastByte >= sizeof head - 1 && inside(at + int64_t(lastByte) + 1));
    }

    // A program chain at a byte position: its header, with its counts of programs (at 2) and
    // cells (at 3) and the offsets of its command table, program map, cell playback and cell
    // position tables (at 0xE4, 0xE6, 0xE8, 0xEA). The command table holds counts of pre, post
    // and cell commands of 8 bytes each after its 8-byte header; the program map a byte a
    // program, the cell tables 24 and 4 bytes a cell.
    bool programChainSafe(int64_t at) {
        unsigned char pgc[0xEC];
        if (at == 0) return true;
        if (!read(at, pgc, sizeof pgc)) return false;
        const int64_t programs = pgc[2], cells = pgc[3];
        const auto tableInside = [&](size_t offsetAt, int64_t bytes) {
            const uint16_t offset = bigEndian16(pgc + offsetAt);
            return offset == 0 || bytes == 0 || inside(at + offset + bytes);
        };
        if (!tableInside(0xE6, programs) || !tableInside(0xE8, cells * 24) ||
            !tableInside(0xEA, cells * 4))
            return false;
        const uint16_t commandsAt = bigEndian16(pgc + 0xE4);
        if (commandsAt == 0) return true;
        unsigned char head[8];
        if (!read(at + commandsAt, head, sizeof head)) return false;
        const int64_t commands =
            int64_t(bigEndian16(head)) + bigEndian16(head + 2) + bigEndian16(head + 4);
        return inside(at + commandsAt + 8 + commands * 8);
    }

    // A program chain table: a count, 2 zero bytes, its last byte; then 8 bytes a chain, whose
    // last 4 give the chain's position from the table's start.
    bool chainTableSafe(int64_t at) {
        unsigned char head[8];
        if (!read(at, head, sizeof head)) return false;
        const uint16_t chains = bigEndian16(head);
        for (uint16_t i = 0; i < chains; ++i) {
            unsigned char entry[8];
            if (!read(at + 8 + int64_t(i) * 8, entry, sizeof entry) ||
                !programChainSafe(at + bigEndian32(entry + 4)))
                return false;
        }
        return true;
    }

    // The menus: a count of languages, 2 zero bytes, a last byte; then 8 bytes a language,
    // whose last 4 give its program chain table's position from the start.
    bool menusSafe(uint32_t sector) {
        if (sector == 0) return true;
        const int64_t at = int64_t(sector) * DVD_VIDEO_LB_LEN;
        unsigned char head[8];
        if (!read(at, head, sizeof head)) return false;
        const uint16_t languages = bigEndian16(head);
        for (uint16_t i = 0; i < languages; ++i) {
            unsigned char entry[8];
            if (!read(at + 8 + int64_t(i) * 8, entry, sizeof entry) ||
                !chainTableSafe(at + bigEndian32(entry + 4)))
                return false;
        }
        return true;
    }

    // Far more reads than the tables of any disc take; a file that asks for more (tables that
    // point into each other) is refused rather than walked for long.
    static constexpr int MaxReads = 100000;
    DvdFile file_;
    int64_t size_ = 0;
    int reads_ = 0;
};

// An IFO file (0: the video manager, else that title set) as libdvdread reads it, from the
// IFO or its backup; none when either copy holds a table it would free twice (see above).
IfoHandle openIfo(dvd_reader_t* dvd, int titleSet) {
    if (!IfoCheck(dvd, titleSet, DVD_READ_INFO_FILE).safe() ||
        !IfoCheck(dvd, titleSet, DVD_READ_INFO_BACKUP_FILE).safe())
        return nullptr;
    return IfoHandle(ifoOpen(dvd, titleSet));
}

// Whether libdvdread reads the volume's video manager (VIDEO_TS.IFO or its backup).
bool opensAsDvdVideo(const std::string& volume) {
    DvdHandle dvd = openDvd(volume);
    if (!dvd) return false;
    IfoHandle vmg = openIfo(dvd.get(), 0);
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
    IfoHandle vmg = openIfo(dvd.get(), 0);
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
        if (!vts) vts = openIfo(dvd.get(), ti.title_set_nr);
        char name[16];
        std::snprintf(name, sizeof name, "VTS_%02d_0.IFO", ti.title_set_nr);
        if (!vts) return fail(std::string(name) + " cannot be read (damaged or missing)");
        DvdTitleInfo t;
        t.number = i + 1;
        if (!readTitle(vts.get(), ti.vts_ttn, &t))
            return fail(std::string(name) + " does not describe title " + std::to_string(i + 1));
        info->titles.push_back(std::move(t));
    }
    // Every title set the navigation may enter, also those no title names (a menu may jump
    // to one); one that cannot be read is checked as such.
    std::vector<const ifo_handle_t*> readable(sets.size(), nullptr);
    for (int s = 1; s <= titleSets; ++s) {
        if (!sets[size_t(s)]) sets[size_t(s)] = openIfo(dvd.get(), s);
        readable[size_t(s)] = sets[size_t(s)].get();
    }
    const std::string fault = navigationFault(vmg.get(), readable);
    if (!fault.empty()) return fail(fault);
    if (DVDDiscID(dvd.get(), info->discId.data()) != 0) return fail("the disc id cannot be read");
    return true;
}

} // namespace platform::dshow
