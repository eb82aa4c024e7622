// The conformance matrix: every job of tovamix-cli on every form of test media, two at a
// time, and a table of the verdicts (rows: forms, columns: jobs) with the failures' details
// below it. Exit code 1 when a cell fails; a cell that could not run for a reason outside
// the program (an encoder this machine's ffmpeg lacks) is shown as such and fails nothing.
//
//   tovamix_conformance [--only REGEX] [--parallel N] [--work DIR] [--known FILE]
//
// --known names the list of faults the program is known to have, one cell a line
// ("form / job: what is wrong"; # starts a comment): such a cell still shows what was wrong
// (marked "known"), is listed below the table, and fails nothing, so that the run fails on a
// new fault only. A listed cell that passes is said to, so that the list shrinks.
//
// --only runs the cells whose "form / job" matches REGEX (the forms the chosen cells need
// are made too). The work directory (default: the current one) holds the made forms under
// test-scratch/ (kept between runs) and each cell's outputs (replaced every run).
#include "Jobs.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace conformance;
using namespace testsupport;

namespace {

// A checker that runs longer than this is killed (the job itself has its own 60 s limit).
constexpr int CellLimitSeconds = 300;

std::string slug(const std::string& text) {
    std::string s;
    for (char c : text)
        s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return s;
}

void saveCell(const Cell& cell, const std::string& path) {
    std::ofstream out(path);
    out << "state " << int(cell.state) << "\n";
    auto oneLine = [](std::string s) {
        std::replace(s.begin(), s.end(), '\n', '\x1e');
        return s;
    };
    for (const std::string& r : cell.reasons)
        out << "reason " << oneLine(r) << "\n";
    for (const std::string& d : cell.details)
        out << "detail " << oneLine(d) << "\n";
}

Cell loadCell(const std::string& path) {
    Cell cell;
    std::ifstream in(path);
    if (!in) {
        cell.fail("checker died", "the checker of this cell ended without a verdict");
        return cell;
    }
    for (std::string line; std::getline(in, line);) {
        std::replace(line.begin(), line.end(), '\x1e', '\n');
        if (line.rfind("state ", 0) == 0) cell.state = Cell::State(std::atoi(line.c_str() + 6));
        if (line.rfind("reason ", 0) == 0) cell.reasons.push_back(line.substr(7));
        if (line.rfind("detail ", 0) == 0) cell.details.push_back(line.substr(7));
    }
    return cell;
}

// A task run in a child process, in one of two lanes: the jobs that keep a core busy, at most
// `parallel` at a time, and the plays, which spend most of their time waiting for the clock,
// one at a time beside them.
struct Task {
    std::function<int()> work;
    bool waits = false;
};

// Runs the tasks; each child's work is killed after CellLimitSeconds. Returns each task's exit
// status (-1: killed).
std::vector<int> runChildren(const std::vector<Task>& tasks, int parallel) {
    using Clock = std::chrono::steady_clock;
    std::vector<int> status(tasks.size(), -1);
    std::map<pid_t, std::pair<size_t, Clock::time_point>> running;
    std::vector<bool> started(tasks.size(), false);
    size_t left = tasks.size();
    while (left > 0 || !running.empty()) {
        int busy = 0, waiting = 0;
        for (const auto& [pid, task] : running)
            (tasks[task.first].waits ? waiting : busy) += 1;
        for (size_t i = 0; i < tasks.size(); ++i) {
            if (started[i]) continue;
            int& lane = tasks[i].waits ? waiting : busy;
            if (lane >= (tasks[i].waits ? 1 : parallel)) continue;
            ++lane;
            started[i] = true;
            --left;
            std::cout.flush();
            const pid_t pid = fork();
            if (pid == 0) {
                setpgid(0, 0); // its own group: a kill reaches the commands it runs
                std::_Exit(tasks[i].work());
            }
            running[pid] = {i, Clock::now()};
        }
        int st = 0;
        const pid_t done = waitpid(-1, &st, WNOHANG);
        if (done > 0 && running.count(done)) {
            status[running[done].first] = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            running.erase(done);
            continue;
        }
        for (auto& [pid, task] : running)
            if (Clock::now() - task.second > std::chrono::seconds(CellLimitSeconds))
                kill(-pid, SIGKILL);
        usleep(20000);
    }
    return status;
}

std::string fit(const std::string& text, size_t width) {
    if (text.size() <= width) return text + std::string(width - text.size(), ' ');
    return text.substr(0, width - 1) + "~";
}

} // namespace

// The known faults: "form / job" to what is wrong, from a file of "form / job: what" lines.
std::map<std::string, std::string> knownFaults(const std::string& file) {
    std::map<std::string, std::string> known;
    if (file.empty()) return known;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto colon = line.find(": ");
        if (colon == std::string::npos) continue;
        known[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return known;
}

int main(int argc, char** argv) {
    std::string only, work, knownFile;
    int parallel = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--parallel" && i + 1 < argc)
            parallel = std::max(1, std::atoi(argv[++i]));
        else if (a == "--work" && i + 1 < argc)
            work = argv[++i];
        else if (a == "--known" && i + 1 < argc)
            knownFile = std::filesystem::absolute(argv[++i]).string();
        else {
            std::cerr << "usage: tovamix_conformance [--only REGEX] [--parallel N] [--work DIR] "
                         "[--known FILE]\n";
            return 2;
        }
    }
    if (!work.empty()) {
        std::filesystem::create_directories(work);
        std::filesystem::current_path(work);
    }
    const auto started = std::chrono::steady_clock::now();
    const std::regex chosen(only.empty() ? "." : only, std::regex::icase);

    // The cells chosen, and the forms they need.
    struct CellRun {
        const Form* form;
        const Job* job;
        Cell cell;
        bool run = false;
    };
    std::vector<CellRun> cells;
    std::set<const Form*> needed;
    for (const Form& f : forms())
        for (const Job& j : jobs()) {
            if (!std::regex_search(f.id + " / " + j.name, chosen)) continue;
            CellRun c{&f, &j, {}};
            const std::string why = j.notFor(f);
            std::vector<std::string> missing = missingEncoders(f);
            for (const Form* p : j.partners)
                for (const std::string& e : missingEncoders(*p))
                    missing.push_back(e);
            if (!why.empty()) {
                c.cell.state = Cell::NotApplicable;
                c.cell.note(why);
            } else if (!missing.empty()) {
                c.cell.state = Cell::Outside;
                c.cell.reasons.push_back("no " + missing.front() + " here");
                c.cell.note("this machine's ffmpeg lacks the encoder " + missing.front() +
                            ", so the form cannot be made");
            } else {
                c.run = true;
                needed.insert(&f);
                for (const Form* p : j.partners)
                    needed.insert(p);
            }
            cells.push_back(c);
        }
    if (cells.empty()) {
        std::cerr << "no cell matches " << only << "\n";
        return 2;
    }

    // The forms: made (or found from an earlier run) and read back, two at a time.
    const std::string cellDir = scratchDir("conformance-cells");
    std::filesystem::remove_all(cellDir);
    std::filesystem::create_directories(cellDir);
    std::vector<const Form*> formList(needed.begin(), needed.end());
    std::vector<Task> makeTasks;
    for (const Form* f : formList)
        makeTasks.push_back({[f, cellDir] {
            const std::string path = makeForm(*f);
            if (path.empty()) return 1;
            saveFacts(readFacts(path), cellDir + "/" + slug(f->id) + ".facts");
            std::ofstream(cellDir + "/" + slug(f->id) + ".path") << path;
            return 0;
        }});
    runChildren(makeTasks, parallel);
    std::map<const Form*, Made> made;
    for (const Form* f : formList) {
        Made m;
        std::getline(std::ifstream(cellDir + "/" + slug(f->id) + ".path"), m.path);
        if (!m.path.empty() && loadFacts(m.facts, cellDir + "/" + slug(f->id) + ".facts"))
            made[f] = m;
    }
    const auto formsMade = std::chrono::steady_clock::now();

    // The cells, two at a time and the plays beside them; the slow ones (link) first so
    // none is left alone at the end.
    std::vector<size_t> order;
    for (size_t i = 0; i < cells.size(); ++i)
        if (cells[i].run) order.push_back(i);
    auto weight = [&](size_t i) {
        const std::string& n = cells[i].job->name;
        return n == "play" ? 0 : n.rfind("link", 0) == 0 ? 1 : 2;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return weight(a) < weight(b); });
    std::vector<Task> cellTasks;
    for (size_t i : order) {
        CellRun& c = cells[i];
        bool have = made.count(c.form);
        for (const Form* p : c.job->partners)
            have = have && made.count(p);
        if (!have) {
            c.run = false;
            c.cell.fail("form not made", "ffmpeg could not make the form (or a partner form)");
            continue;
        }
        const std::string dir = cellDir + "/" + slug(c.form->id) + "--" + slug(c.job->name);
        Task task;
        task.waits = c.job->name == "play";
        task.work = [&c, dir, &made] {
            std::filesystem::create_directories(dir);
            Context ctx;
            ctx.form = c.form;
            ctx.source = &made.at(c.form);
            ctx.dir = dir;
            ctx.other = [&made](const Form& f) -> const Made& { return made.at(&f); };
            Cell cell;
            c.job->run(ctx, cell);
            saveCell(cell, dir + "/verdict");
            return 0;
        };
        cellTasks.push_back(task);
    }
    runChildren(cellTasks, parallel);
    for (CellRun& c : cells)
        if (c.run)
            c.cell =
                loadCell(cellDir + "/" + slug(c.form->id) + "--" + slug(c.job->name) + "/verdict");
    const auto finished = std::chrono::steady_clock::now();

    // The table.
    std::vector<const Form*> rows;
    std::vector<const Job*> columns;
    for (const CellRun& c : cells) {
        if (std::find(rows.begin(), rows.end(), c.form) == rows.end()) rows.push_back(c.form);
        if (std::find(columns.begin(), columns.end(), c.job) == columns.end())
            columns.push_back(c.job);
    }
    auto at = [&](const Form* f, const Job* j) -> const CellRun* {
        for (const CellRun& c : cells)
            if (c.form == f && c.job == j) return &c;
        return nullptr;
    };
    constexpr size_t RowWidth = 24, CellWidth = 14;
    std::cout << fit("form \\ job", RowWidth);
    for (const Job* j : columns)
        std::cout << " " << fit(j->name, CellWidth);
    std::cout << "\n";
    const std::map<std::string, std::string> known = knownFaults(knownFile);
    const auto knownOf = [&known](const Form* f, const Job* j) {
        const auto it = known.find(f->id + " / " + j->name);
        return it == known.end() ? nullptr : &it->second;
    };
    int failed = 0, passed = 0, outside = 0, knownFailed = 0;
    for (const Form* f : rows) {
        std::cout << fit(f->id, RowWidth);
        for (const Job* j : columns) {
            const CellRun* c = at(f, j);
            const bool isKnown = c && c->cell.state == Cell::Fail && knownOf(f, j);
            std::cout << " "
                      << fit(c ? (isKnown ? "known: " : "") + c->cell.text() : "", CellWidth);
            if (!c) continue;
            knownFailed += isKnown;
            failed += c->cell.state == Cell::Fail && !isKnown;
            passed += c->cell.state == Cell::Pass;
            outside += c->cell.state == Cell::Outside;
        }
        std::cout << "\n";
    }
    auto secondsBetween = [](auto a, auto b) {
        return std::chrono::duration<double>(b - a).count();
    };
    std::cout << "\n"
              << passed << " pass, " << failed << " fail, " << knownFailed << " known faults, "
              << outside << " not run for a reason outside the program; forms made and read in "
              << seconds(secondsBetween(started, formsMade)) << " s, jobs "
              << seconds(secondsBetween(formsMade, finished)) << " s\n";
    std::cout << "Beeps of MP3 sound in AVI are measured with the encoder's constant delay ("
              << seconds(Mp3Delay) << " s) taken off.\n";

    // The details: every failing cell's, then the notes of the others.
    bool header = false;
    for (const Form* f : rows)
        for (const Job* j : columns) {
            const CellRun* c = at(f, j);
            if (!c || c->cell.state != Cell::Fail) continue;
            if (!header) std::cout << "\nFailures:\n";
            header = true;
            std::cout << f->id << " / " << j->name << ":";
            if (const std::string* why = knownOf(f, j)) std::cout << " (known: " << *why << ")";
            std::cout << "\n";
            for (const std::string& d : c->cell.details)
                std::cout << "    " << d << "\n";
        }
    header = false;
    for (const Form* f : rows)
        for (const Job* j : columns) {
            const CellRun* c = at(f, j);
            if (!c || c->cell.state == Cell::Fail || c->cell.details.empty() ||
                c->cell.state == Cell::NotApplicable)
                continue;
            if (!header) std::cout << "\nNotes:\n";
            header = true;
            for (const std::string& d : c->cell.details)
                std::cout << f->id << " / " << j->name << ": " << d << "\n";
        }
    header = false;
    for (const Form* f : rows)
        for (const Job* j : columns) {
            const CellRun* c = at(f, j);
            if (!c || c->cell.state == Cell::Fail || !knownOf(f, j)) continue;
            if (!header)
                std::cout
                    << "\nListed as known faults, and passing now (take them off the list):\n";
            header = true;
            std::cout << f->id << " / " << j->name << "\n";
        }
    return failed > 0 ? 1 : 0;
}
