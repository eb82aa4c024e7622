// The walk over a volume's program chains that DvdNavigationCheck.h describes. A command is 8
// bytes, read as one big-endian 64-bit word; its kind is in the top three bits, and where it
// links or jumps the target sits at the bit positions below (bit 63 the first byte's top bit),
// those of the DVD-Video command set.
#include "platform/dshow/dvd/DvdNavigationCheck.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace platform::dshow {

namespace {

enum class Domain { FirstPlay, ManagerMenu, SetMenu, Title };

// Where the machine may stand when a command runs: in a program chain's pre commands (no
// cell yet, the first program), its post commands (past its last cell), or a cell's command.
enum class Stage { Pre, Post, Cell };

// What a command leads to, as the machine counts them.
enum Link : int {
    NoLink = 0,
    TopCell = 1,
    NextCell = 2,
    PrevCell = 3,
    TopProgram = 5,
    NextProgram = 6,
    PrevProgram = 7,
    TopChain = 9,
    NextChain = 10,
    PrevChain = 11,
    UpChain = 12,
    TailChain = 13,
    Resume = 16,
    ChainNumber = 100,
    PartNumber,
    ProgramNumber,
    CellNumber,
    Exit,
    JumpTitle,
    JumpSetTitle,
    JumpSetPart,
    JumpFirstPlay,
    JumpManagerMenu,
    JumpSetMenu,
    JumpManagerChain,
    CallFirstPlay,
    CallManagerMenu,
    CallSetMenu,
    CallManagerChain,
    UnknownLink,
    UnknownCommand,
};

struct Decoded {
    int link = NoLink;
    bool links = false; // whether the command leads anywhere at all
    int data1 = 0, data2 = 0, data3 = 0;
};

uint64_t word(const vm_cmd_t& c) {
    uint64_t w = 0;
    for (unsigned char b : c.bytes)
        w = w << 8 | b;
    return w;
}

// count bits of w ending at start (inclusive, 63 the top bit), as a number.
int bits(uint64_t w, int start, int count) {
    return int((w >> (start + 1 - count)) & ((uint64_t(1) << count) - 1));
}

// A link by sub-instruction: its code in the five lowest bits. The codes without a meaning
// (4, 8, 14, 15) leave the machine looping on them, so they count as unknown.
Decoded subInstruction(uint64_t w) {
    Decoded d;
    const int op = bits(w, 4, 5);
    if (op > 0x10) return d; // ignored by the machine
    d.links = true;
    d.link = (op == 4 || op == 8 || op == 14 || op == 15) ? UnknownLink : op;
    return d;
}

Decoded linkInstruction(uint64_t w) {
    Decoded d;
    switch (bits(w, 51, 4)) {
    case 1:
        return subInstruction(w);
    case 4:
        d = {ChainNumber, true, bits(w, 14, 15)};
        break;
    case 5:
        d = {PartNumber, true, bits(w, 9, 10)};
        break;
    case 6:
        d = {ProgramNumber, true, bits(w, 6, 7)};
        break;
    case 7:
        d = {CellNumber, true, bits(w, 7, 8)};
        break;
    }
    return d;
}

Decoded jumpInstruction(uint64_t w) {
    Decoded d;
    switch (bits(w, 51, 4)) {
    case 1:
        d = {Exit, true};
        break;
    case 2:
        d = {JumpTitle, true, bits(w, 22, 7)};
        break;
    case 3:
        d = {JumpSetTitle, true, bits(w, 22, 7)};
        break;
    case 5:
        d = {JumpSetPart, true, bits(w, 22, 7), bits(w, 41, 10)};
        break;
    case 6:
        switch (bits(w, 23, 2)) {
        case 0:
            d = {JumpFirstPlay, true};
            break;
        case 1:
            d = {JumpManagerMenu, true, bits(w, 19, 4)};
            break;
        case 2:
            d = {JumpSetMenu, true, bits(w, 31, 8), bits(w, 39, 8), bits(w, 19, 4)};
            break;
        case 3:
            d = {JumpManagerChain, true, bits(w, 46, 15)};
            break;
        }
        break;
    case 8:
        switch (bits(w, 23, 2)) {
        case 0:
            d = {CallFirstPlay, true};
            break;
        case 1:
            d = {CallManagerMenu, true, bits(w, 19, 4)};
            break;
        case 2:
            d = {CallSetMenu, true, bits(w, 19, 4)};
            break;
        case 3:
            d = {CallManagerChain, true, bits(w, 46, 15)};
            break;
        }
        break;
    }
    return d;
}

Decoded decode(const vm_cmd_t& c) {
    const uint64_t w = word(c);
    switch (bits(w, 63, 3)) {
    case 0: // goto, break, nothing
        return {};
    case 1:
        return bits(w, 60, 1) ? jumpInstruction(w) : linkInstruction(w);
    case 2:
    case 3: // a register set, and a link when its field is not zero
        return bits(w, 51, 4) ? linkInstruction(w) : Decoded{};
    case 4:
    case 5:
    case 6:
        return subInstruction(w);
    }
    return {UnknownCommand, true};
}

const char* domainName(Domain d) {
    switch (d) {
    case Domain::FirstPlay:
        return "first play";
    case Domain::ManagerMenu:
        return "menu";
    case Domain::SetMenu:
        return "menu";
    case Domain::Title:
        return "title";
    }
    return "";
}

class Walk {
  public:
    Walk(const ifo_handle_t* vmg, const std::vector<const ifo_handle_t*>& sets)
        : vmg_(vmg), sets_(sets) {}

    std::string run() {
        if (!vmg_->vmgi_mat || !vmg_->tt_srpt) return "the video manager cannot be read";
        if (!aspectKnown(vmg_->vmgi_mat->vmgm_video_attr))
            return "the video manager's menus have a picture shape that is neither 4:3 nor 16:9";
        if (vmg_->pgci_ut && !menusWhole(vmg_->pgci_ut))
            return "the video manager's menu table names a language without menus";
        // Every table a command may look into is whole before any command is looked at.
        for (size_t s = 1; s < sets_.size(); ++s) {
            const ifo_handle_t* set = sets_[s];
            if (!set) continue;
            const std::string name = "title set " + std::to_string(s) + "'s";
            if (!set->vtsi_mat || !set->vts_ptt_srpt || !set->vts_pgcit)
                return name + " tables cannot be read";
            if (set->pgci_ut && !menusWhole(set->pgci_ut))
                return name + " menu table names a language without menus";
        }
        // Without a first-play chain the machine starts at the manager's first menu chain.
        if (vmg_->first_play_pgc) {
            if (!chain(vmg_->first_play_pgc, Domain::FirstPlay, 0, "the first-play program chain"))
                return fault_;
        } else if (chainCount(Domain::FirstPlay, 0) < 1) {
            return "there is neither a first-play program chain nor a menu to start at";
        }
        if (vmg_->pgci_ut && !menus(vmg_->pgci_ut, Domain::ManagerMenu, 0, "the video manager's"))
            return fault_;
        for (size_t s = 1; s < sets_.size(); ++s) {
            const ifo_handle_t* set = sets_[s];
            if (!set) continue; // never entered: a jump there ends playback or is refused below
            const std::string name = "title set " + std::to_string(s) + "'s";
            if (!aspectKnown(set->vtsi_mat->vtsm_video_attr) ||
                !aspectKnown(set->vtsi_mat->vts_video_attr))
                return name + " picture shape is neither 4:3 nor 16:9";
            if (set->pgci_ut && !menus(set->pgci_ut, Domain::SetMenu, int(s), name.c_str()))
                return fault_;
            const pgcit_t* titles = set->vts_pgcit;
            if (titles->nr_of_pgci_srp > 0 && !titles->pgci_srp)
                return name + " title program chain table cannot be read";
            for (int i = 0; i < titles->nr_of_pgci_srp; ++i)
                if (!chain(titles->pgci_srp[i].pgc, Domain::Title, int(s),
                           name + " title program chain " + std::to_string(i + 1)))
                    return fault_;
            if (!parts(set, name)) return fault_;
        }
        return {};
    }

  private:
    static bool aspectKnown(const video_attr_t& v) {
        return v.display_aspect_ratio == 0 || v.display_aspect_ratio == 3;
    }
    static bool menusWhole(const pgci_ut_t* ut) {
        if (ut->nr_of_lus == 0 || !ut->lu) return false;
        for (int l = 0; l < ut->nr_of_lus; ++l) {
            const pgcit_t* t = ut->lu[l].pgcit;
            if (!t || (t->nr_of_pgci_srp > 0 && !t->pgci_srp)) return false;
        }
        return true;
    }

    bool menus(const pgci_ut_t* ut, Domain domain, int set, const char* owner) {
        for (int l = 0; l < ut->nr_of_lus; ++l) {
            const pgcit_t* t = ut->lu[l].pgcit;
            for (int i = 0; i < t->nr_of_pgci_srp; ++i)
                if (!chain(t->pgci_srp[i].pgc, domain, set,
                           std::string(owner) + " menu program chain " + std::to_string(i + 1)))
                    return false;
        }
        return true;
    }

    // A title's parts: each names a program chain of the title set and a program in it.
    bool parts(const ifo_handle_t* set, const std::string& name) {
        const vts_ptt_srpt_t* ptts = set->vts_ptt_srpt;
        if (ptts->nr_of_srpts > 0 && !ptts->title) return fail(name + " part table cannot be read");
        for (int t = 0; t < ptts->nr_of_srpts; ++t) {
            const ttu_t& title = ptts->title[t];
            if (title.nr_of_ptts > 0 && !title.ptt)
                return fail(name + " title " + std::to_string(t + 1) + " has no part table");
            for (int p = 0; p < title.nr_of_ptts; ++p) {
                const ptt_info_t& ptt = title.ptt[p];
                const std::string where =
                    name + " title " + std::to_string(t + 1) + ", part " + std::to_string(p + 1);
                if (ptt.pgcn < 1 || ptt.pgcn > set->vts_pgcit->nr_of_pgci_srp)
                    return fail(where + ": program chain " + std::to_string(ptt.pgcn) + " of " +
                                std::to_string(set->vts_pgcit->nr_of_pgci_srp));
                const pgc_t* pgc = set->vts_pgcit->pgci_srp[ptt.pgcn - 1].pgc;
                if (!pgc) return fail(where + ": its program chain cannot be read");
                if (ptt.pgn < 1 || ptt.pgn > pgc->nr_of_programs + 1)
                    return fail(where + ": program " + std::to_string(ptt.pgn) + " of " +
                                std::to_string(pgc->nr_of_programs));
            }
        }
        return true;
    }

    // The program chains the machine finds in a domain (for the menus: in each language's
    // table, of which it takes one; the smallest counts).
    int chainCount(Domain domain, int set) const {
        const pgci_ut_t* ut = nullptr;
        switch (domain) {
        case Domain::Title:
            return set >= 1 && size_t(set) < sets_.size() && sets_[set]
                       ? sets_[set]->vts_pgcit->nr_of_pgci_srp
                       : 0;
        case Domain::SetMenu:
            ut = set >= 1 && size_t(set) < sets_.size() && sets_[set] ? sets_[set]->pgci_ut
                                                                      : nullptr;
            break;
        case Domain::FirstPlay:
        case Domain::ManagerMenu:
            ut = vmg_->pgci_ut;
            break;
        }
        if (!ut || !ut->lu || ut->nr_of_lus == 0) return 0;
        int n = INT32_MAX;
        for (int l = 0; l < ut->nr_of_lus; ++l)
            n = std::min<int>(n, ut->lu[l].pgcit ? ut->lu[l].pgcit->nr_of_pgci_srp : 0);
        return n;
    }
    // Whether every language's menus of the domain hold an entry for menu (1 title, 3 root,
    // 4 sub-picture, 5 audio, 6 angle, 7 chapter); a domain without menus is left (the
    // machine ends playback there instead).
    bool menuThere(Domain domain, int set, int menu) const {
        const pgci_ut_t* ut =
            domain == Domain::SetMenu
                ? (set >= 1 && size_t(set) < sets_.size() && sets_[set] ? sets_[set]->pgci_ut
                                                                        : nullptr)
                : vmg_->pgci_ut;
        if (!ut) return true;
        for (int l = 0; l < ut->nr_of_lus; ++l) {
            const pgcit_t* t = ut->lu[l].pgcit;
            bool found = false;
            for (int i = 0; i < t->nr_of_pgci_srp && !found; ++i)
                found = t->pgci_srp[i].entry_id == (menu | 0x80);
            if (!found) return false;
        }
        return true;
    }
    bool hasMenus(Domain domain, int set) const {
        if (domain == Domain::SetMenu)
            return set >= 1 && size_t(set) < sets_.size() && sets_[set] && sets_[set]->pgci_ut;
        return vmg_->pgci_ut != nullptr;
    }

    bool fail(const std::string& why) {
        fault_ = why;
        return false;
    }

    bool chain(const pgc_t* pgc, Domain domain, int set, const std::string& name) {
        if (!pgc) return fail(name + " cannot be read");
        if (pgc->nr_of_programs > 0 && !pgc->program_map) return fail(name + " has no program map");
        if (pgc->nr_of_cells > 0 && !pgc->cell_playback) return fail(name + " has no cell table");
        for (int p = 0; p < pgc->nr_of_programs; ++p) {
            const int cell = pgc->program_map[p];
            if (cell < 1 || cell > pgc->nr_of_cells)
                return fail(name + ", program " + std::to_string(p + 1) + ": it starts at cell " +
                            std::to_string(cell) + " of " + std::to_string(pgc->nr_of_cells));
        }
        for (int c = 0; c < pgc->nr_of_cells; ++c) {
            const cell_playback_t& cell = pgc->cell_playback[c];
            // A cell is either alone (mode 0, type 0) or in an angle block (type 1).
            const bool alone = cell.block_mode == 0 && cell.block_type == 0;
            const bool angle = cell.block_mode != 0 && cell.block_type == 1;
            if (!alone && !angle)
                return fail(name + ", cell " + std::to_string(c + 1) +
                            ": a cell block the player cannot follow");
        }
        const pgc_command_tbl_t* t = pgc->command_tbl;
        if (!t) return true;
        const struct {
            const vm_cmd_t* commands;
            int count;
            Stage stage;
            const char* what;
        } lists[] = {{t->pre_cmds, t->nr_of_pre, Stage::Pre, "pre command"},
                     {t->post_cmds, t->nr_of_post, Stage::Post, "post command"}};
        for (const auto& l : lists) {
            if (l.count > 0 && !l.commands) return fail(name + " has no " + l.what + "s");
            for (int i = 0; i < l.count; ++i)
                if (!command(l.commands[i], pgc, domain, set, l.stage, 0,
                             name + ", " + l.what + " " + std::to_string(i + 1)))
                    return false;
        }
        // A cell's command is named by its number in the cell table; the cells that name one
        // are those it may run at.
        if (t->nr_of_cell > 0 && !t->cell_cmds) return fail(name + " has no cell commands");
        for (int c = 0; c < pgc->nr_of_cells; ++c) {
            const int n = pgc->cell_playback[c].cell_cmd_nr;
            if (n < 1 || n > t->nr_of_cell) continue; // the machine skips a missing one
            if (!command(t->cell_cmds[n - 1], pgc, domain, set, Stage::Cell, c + 1,
                         name + ", cell " + std::to_string(c + 1) + "'s command"))
                return false;
        }
        return true;
    }

    // The program a cell belongs to (1-based; 0 before the first program's cell).
    static int programOf(const pgc_t* pgc, int cell) {
        int program = 0;
        while (program < pgc->nr_of_programs && cell >= pgc->program_map[program])
            ++program;
        return program;
    }

    bool command(const vm_cmd_t& c, const pgc_t* pgc, Domain domain, int set, Stage stage, int cell,
                 const std::string& where) {
        const Decoded d = decode(c);
        if (!d.links) return true;
        const int cells = pgc->nr_of_cells, programs = pgc->nr_of_programs;
        const auto no = [&](const std::string& why) { return fail(where + ": " + why); };
        const auto from = [&](const char* what) {
            return no(std::string(what) + ", which cannot be done from the " + domainName(domain));
        };
        const bool menuDomain = domain == Domain::ManagerMenu || domain == Domain::SetMenu;
        switch (d.link) {
        case UnknownCommand:
            return no("an unknown command");
        case UnknownLink:
            return no("an unknown link");
        case NoLink:
        case TopChain:
        case TailChain:
        case Exit:
            return true;
        case TopCell:
            // Pre commands run before any cell.
            return stage != Stage::Pre || no("a link to the current cell before any cell");
        case NextCell:
            return stage != Stage::Post || no("a link to the cell after the last");
        case PrevCell:
            if (stage == Stage::Pre || (stage == Stage::Cell && cell <= 1) ||
                (stage == Stage::Post && cells < 1))
                return no("a link to the cell before the first");
            return true;
        case TopProgram:
            return true;
        case NextProgram:
            return stage != Stage::Pre || programs >= 1 ||
                   no("a link to the next program of a chain without programs");
        case PrevProgram:
            if (stage == Stage::Pre || (stage == Stage::Cell && programOf(pgc, cell) <= 1) ||
                (stage == Stage::Post && programs <= 1))
                return no("a link to the program before the first");
            return true;
        case NextChain:
            return pgc->next_pgc_nr != 0 || no("a link to the next program chain, of which none");
        case PrevChain:
            return pgc->prev_pgc_nr != 0 ||
                   no("a link to the previous program chain, of which none");
        case UpChain:
            return pgc->goup_pgc_nr != 0 || no("a link to the program chain up, of which none");
        case Resume:
            return true;
        case ChainNumber: {
            const int n = chainCount(domain, set);
            if (d.data1 < 1 || d.data1 > n)
                return no("a link to program chain " + std::to_string(d.data1) + " of " +
                          std::to_string(n));
            return true;
        }
        case PartNumber:
            return domain == Domain::Title || from("a link to a part of the title");
        case ProgramNumber:
            if (d.data1 < 1 || d.data1 > programs + 1)
                return no("a link to program " + std::to_string(d.data1) + " of " +
                          std::to_string(programs));
            return true;
        case CellNumber:
            if (d.data1 < 1 || d.data1 > cells + 1)
                return no("a link to cell " + std::to_string(d.data1) + " of " +
                          std::to_string(cells));
            return true;
        case JumpTitle: {
            if (domain != Domain::FirstPlay && domain != Domain::ManagerMenu)
                return from("a jump to a title");
            const int titles = vmg_->tt_srpt->nr_of_srpts;
            if (d.data1 < 1 || d.data1 > titles)
                return no("a jump to title " + std::to_string(d.data1) + " of " +
                          std::to_string(titles));
            return true;
        }
        case JumpSetTitle:
        case JumpSetPart:
            return domain == Domain::SetMenu || domain == Domain::Title ||
                   from("a jump to a title of the title set");
        case JumpFirstPlay:
            return menuDomain || from("a jump to the first play");
        case JumpManagerMenu:
            if (domain == Domain::Title) return from("a jump to a menu");
            return !hasMenus(Domain::ManagerMenu, 0) ||
                   menuThere(Domain::ManagerMenu, 0, d.data1) ||
                   no("a jump to menu " + std::to_string(d.data1) +
                      ", which the video manager does not have");
        case JumpManagerChain:
        case CallManagerChain: {
            if ((d.link == JumpManagerChain) == (domain == Domain::Title))
                return from(d.link == JumpManagerChain ? "a jump to a menu" : "a call of a menu");
            if (!hasMenus(Domain::ManagerMenu, 0)) return true;
            const int n = chainCount(Domain::ManagerMenu, 0);
            if (d.data1 < 1 || d.data1 > n)
                return no("a jump to menu program chain " + std::to_string(d.data1) + " of " +
                          std::to_string(n));
            return true;
        }
        case JumpSetMenu: {
            // From a title set's menus only its own title set; from the manager a title set
            // by number.
            int target = d.data1;
            if (domain == Domain::Title) return from("a jump to a title set's menu");
            if (domain == Domain::SetMenu) {
                if (target != 0 && target != set) return from("a jump to another title set's menu");
                target = set;
            } else if (target == 0) {
                return from("a jump to the current title set's menu");
            }
            if (target < 1 || size_t(target) >= sets_.size() || !sets_[size_t(target)])
                return no("a jump to title set " + std::to_string(target) +
                          ", which cannot be read");
            return !hasMenus(Domain::SetMenu, target) ||
                   menuThere(Domain::SetMenu, target, d.data3) ||
                   no("a jump to menu " + std::to_string(d.data3) + ", which title set " +
                      std::to_string(target) + " does not have");
        }
        case CallFirstPlay:
            return domain == Domain::Title || from("a call of the first play");
        case CallManagerMenu:
            if (domain != Domain::Title) return from("a call of a menu");
            return !hasMenus(Domain::ManagerMenu, 0) ||
                   menuThere(Domain::ManagerMenu, 0, d.data1) ||
                   no("a call of menu " + std::to_string(d.data1) +
                      ", which the video manager does not have");
        case CallSetMenu:
            if (domain != Domain::Title) return from("a call of a menu");
            return !hasMenus(Domain::SetMenu, set) || menuThere(Domain::SetMenu, set, d.data1) ||
                   no("a call of menu " + std::to_string(d.data1) + ", which title set " +
                      std::to_string(set) + " does not have");
        }
        return true;
    }

    const ifo_handle_t* vmg_;
    const std::vector<const ifo_handle_t*>& sets_;
    std::string fault_;
};

} // namespace

std::string navigationFault(const ifo_handle_t* vmg, const std::vector<const ifo_handle_t*>& sets) {
    if (!vmg) return "the video manager cannot be read";
    return Walk(vmg, sets).run();
}

} // namespace platform::dshow
