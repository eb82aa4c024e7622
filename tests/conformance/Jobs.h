// The jobs of the conformance matrix, one column each: what a job runs on a form's file and
// how its outputs are checked against what the form's file holds.
#pragma once

#include "Checks.h"
#include "Forms.h"

#include <functional>
#include <string>
#include <vector>

namespace conformance {

// A form's made file and what was read back from it.
struct Made {
    std::string path;
    Facts facts;
};

struct Context {
    const Form* form = nullptr;
    const Made* source = nullptr;
    std::string dir; // an empty directory for the job's outputs
    // The made file of another form (the link and merge jobs' partners).
    std::function<const Made&(const Form&)> other;
};

struct Job {
    std::string name; // the table's column name
    // Empty when the job applies to the form; otherwise why not.
    std::function<std::string(const Form&)> notFor;
    std::function<void(const Context&, Cell&)> run;
    std::vector<const Form*> partners; // forms whose files the job needs besides its own
};

// Every job, in the table's order.
const std::vector<Job>& jobs();

// Checks a form's made file itself: its frame numbers read back 0, 1, 2 ..., every flash has
// its beep and the streams last as long as they were made to.
void checkSource(const Form& form, const Made& made, Cell& cell);

} // namespace conformance
