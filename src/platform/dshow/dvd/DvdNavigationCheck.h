// Checks a DVD-Video volume's navigation before libdvdnav is let loose on it. libdvdnav's
// virtual machine asserts, and so ends the whole process, when a disc's commands lead it where
// it does not expect: an unknown command, a link to a cell, program or program chain that is
// not there, a jump not allowed from the domain it stands in, a menu that is missing, a cell
// block it cannot follow, a picture shape other than 4:3 or 16:9. A damaged IFO file leads it
// there easily. These checks walk every program chain the machine may play, in the domain it
// plays it in, and every command of it (whatever its condition: a register may make it true),
// and name the first thing that would stop the machine.
//
// Internal to the DVD layer. Any thread.
#pragma once

#include <dvdread/ifo_types.h>

#include <string>
#include <vector>

namespace platform::dshow {

// vmg: the video manager's IFO as ifoOpen reads it; sets[n]: title set n's (index 0 unused),
// null for a title set that cannot be read. Empty when the navigation can be followed; else
// what is wrong, in words ("title set 2's title program chain 1, pre command 3: a jump to
// title 9 of 2").
std::string navigationFault(const ifo_handle_t* vmg, const std::vector<const ifo_handle_t*>& sets);

// Plays the volume's navigation in a short-lived child process with libdvdnav alone (no
// decoding, stills and waits skipped): the first play, every menu button it meets, and every
// title to its end through each of its chapters, bounded at about timeLimitMs. Empty when the
// child ends well or runs out of time; else how the navigation ended it ("libdvdnav aborted
// (signal 6)"). The answer is kept per disc id for the life of the process.
std::string probeDvdNavigation(const std::string& volume, const std::string& discId,
                               int timeLimitMs = 3000);

} // namespace platform::dshow
