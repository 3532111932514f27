// The port through which the update logic shows a user messages, progress
// bars and spinners. The update code never writes to the console itself: it
// declares this interface, and the program above hands it an implementation
// (the console one is app/CLI_Display).
#pragma once

#include <cstdarg>
#include <cstdio>

class UpdaterDisplayInterface
{
public:
    // Only these two are used; any other value is shown as info.
    enum Level : int { info = 0, error = 1 };

    virtual ~UpdaterDisplayInterface() = default;

    // Start (true) or end (false) of a progress bar.
    virtual void display_progress(bool active) = 0;
    // Redraw the bar at fraction (0.0 to 1.0); label may be null.
    virtual void update_progress(double fraction, const char *label) = 0;
    // Advance (true) or clear (false) a spinner; label may be null.
    virtual void update_spinner(bool active, const char *label) = 0;
    // One finished line each, given without its line end.
    virtual void info_message(const char *text) = 0;
    virtual void error_message(const char *text) = 0;

    // Formats one message (cut to 2047 characters) and hands it to
    // error_message for level error, to info_message for any other level.
    // Dropped while muted.
    void message(Level level, const char *format, ...) __attribute__((format(printf, 3, 4)))
    {
        if (muted)
            return;
        char text[2048];
        va_list args;
        va_start(args, format);
        if (vsnprintf(text, sizeof text, format, args) < 0)
            text[0] = '\0';
        va_end(args);
        if (level == error)
            error_message(text);
        else
            info_message(text);
    }

    // Only message() honours this; bars and spinners drawn directly are not muted.
    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted = false;
};
