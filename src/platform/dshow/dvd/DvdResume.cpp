// The navigator's resumption: reaching a title, a chapter of it or a saved time in it, driven
// by the navigator's thread a tick at a time. From a menu the source has to leave the menu's
// still picture first; a time seek lands on the picture group of the whole second before the
// time asked, so it asks a little later and corrects a landing before the time.
#include "platform/dshow/dvd/DvdNavigatorImpl.h"

#include <gst/video/navigation.h>

#include <algorithm>
#include <cstdlib>

namespace platform::dshow::dvdnav {

HRESULT Navigator::startResume(int title, int chapter, gint64 time, DvdCmdPtr* cmd) {
    auto c = std::make_shared<DvdCmd>();
    {
        std::lock_guard lock(lock_);
        if (restore_) restore_->cmd->finish(E_ABORT);
        restore_ = std::make_unique<Resume>();
        restore_->title = title;
        restore_->chapter = chapter;
        restore_->time = time;
        restore_->deadline = std::chrono::steady_clock::now() + DvdCommandTimeout;
        restore_->cmd = c;
    }
    wake_.notify_all();
    if (cmd) *cmd = c;
    return S_OK;
}

void Navigator::driveResume() {
    std::shared_ptr<DvdCmd> cmd;
    int title, chapter;
    gint64 time;
    bool sought, late;
    {
        std::lock_guard lock(lock_);
        if (!restore_) return;
        cmd = restore_->cmd;
        title = restore_->title;
        chapter = restore_->chapter;
        time = restore_->time;
        sought = restore_->sought;
        late = std::chrono::steady_clock::now() > restore_->deadline;
        if (late) restore_.reset();
    }
    if (late) {
        GST_WARNING("title %d, chapter %d, time %" GST_TIME_FORMAT " not reached in time: "
                    "in title %d at %" GST_TIME_FORMAT,
                    title, chapter, GST_TIME_ARGS(std::max<gint64>(time, 0)), currentTitle(),
                    GST_TIME_ARGS(std::max<gint64>(position(), 0)));
        cmd->finish(VFW_E_TIMEOUT);
        return;
    }
    if (!ready()) return;
    const int current = currentTitle();
    // A menu's still picture begins at the source well before the pictures show it (a
    // slow machine may take seconds to); in a menu the source's word is taken.
    if (still_->load() || (current <= 0 && sourceStill_->load())) {
        // A seek cannot take the source out of a still picture (a menu's): it goes on
        // waiting in it, and the pictures stand for good. Pressing the current button can
        // (where there is none, the still is skipped); the title is sought from where that
        // leads.
        int ticks;
        {
            std::lock_guard lock(lock_);
            if (!restore_) return;
            ticks = restore_->stillTicks++;
        }
        if (ticks % 10 == 0) {
            GST_DEBUG("in title %d, in a still: pressing the current button", current);
            sendUpstream(gst_navigation_event_new_command(GST_NAVIGATION_COMMAND_ACTIVATE));
        }
        return;
    }
    if (current != title) {
        bool seek;
        {
            std::lock_guard lock(lock_);
            if (!restore_) return;
            // A seek that meets a menu's still as it begins is lost as above. So in a menu
            // the resumption first waits a while for the still, then leaves it as above; a
            // menu that never stands still is sought.
            if (current <= 0 && restore_->menuTicks++ < MenuStillTicks) return;
            seek = restore_->titleTicks++ % TitleSeekTicks == 0;
        }
        if (!seek) return;
        const bool taken = seekSource(titleFormat(), title);
        GST_DEBUG("in title %d, seeking title %d: %s", current, title, taken ? "taken" : "refused");
        if (!taken) {
            // Asked again on the next tick.
            std::lock_guard lock(lock_);
            if (restore_) restore_->titleTicks = 0;
        }
        return;
    }
    if (position() < 0) return;
    if (!sought) {
        // Through the title's time map. The source may refuse a seek while it is still
        // entering the title: it is asked again on the next ticks, and a title without a
        // time map resumes at the chapter.
        if (time >= 0 && seekSource(GST_FORMAT_TIME, time + ResumeLead, GST_SEEK_FLAG_KEY_UNIT)) {
            std::lock_guard lock(lock_);
            if (restore_) {
                restore_->sought = true;
                restore_->asked = time + ResumeLead;
                restore_->landingTicks = 0;
            }
            return;
        }
        int attempts;
        {
            std::lock_guard lock(lock_);
            if (!restore_) return;
            attempts = ++restore_->attempts;
        }
        if (time >= 0 && attempts < ResumeAttempts) return;
        if (chapter > 1) seekSource(chapterFormat(), chapter);
        std::lock_guard lock(lock_);
        if (restore_) {
            restore_->sought = true;
            restore_->time = -1;
        }
        return;
    }
    if (time >= 0) {
        // Landed once the place is near what was asked, and has stayed so a moment.
        const gint64 pos = position();
        gint64 asked;
        int corrections;
        {
            std::lock_guard lock(lock_);
            if (!restore_) return;
            asked = restore_->asked;
            corrections = restore_->corrections;
            if (std::llabs(pos - asked) > 2 * ResumeTolerance) {
                restore_->landingTicks = 0;
                return;
            }
            if (restore_->landingTicks == 0)
                GST_DEBUG("title %d: the seek for %" GST_TIME_FORMAT " lands at %" GST_TIME_FORMAT,
                          title, GST_TIME_ARGS(asked), GST_TIME_ARGS(pos));
            if (++restore_->landingTicks < LandingTicks) return;
        }
        if (pos < time && corrections < ResumeCorrections) {
            // The source lands on the picture group that holds a whole second of the
            // title's time map, so less than a second later may land in the same place.
            const gint64 again = asked + std::max<gint64>(time - pos, GST_SECOND);
            GST_DEBUG("title %d landed at %" GST_TIME_FORMAT " before %" GST_TIME_FORMAT
                      ": asking for %" GST_TIME_FORMAT,
                      title, GST_TIME_ARGS(pos), GST_TIME_ARGS(time), GST_TIME_ARGS(again));
            if (seekSource(GST_FORMAT_TIME, again, GST_SEEK_FLAG_KEY_UNIT)) {
                std::lock_guard lock(lock_);
                if (restore_) {
                    restore_->asked = again;
                    restore_->landingTicks = 0;
                    ++restore_->corrections;
                }
            }
            return;
        }
        if (std::llabs(pos - time) > ResumeTolerance) return;
    } else if (currentChapter() != chapter) {
        return;
    }
    GST_DEBUG("title %d resumed at %" GST_TIME_FORMAT, title, GST_TIME_ARGS(position()));
    cmd->finish(S_OK);
    std::lock_guard lock(lock_);
    if (restore_ && restore_->cmd == cmd) restore_.reset();
}

} // namespace platform::dshow::dvdnav
