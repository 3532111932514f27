// The console display: messages one per line (info to standard output,
// errors to standard error), progress bars and spinners drawn in place on
// standard output, and only when it is a terminal.
#pragma once

#include "updater/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface
{
public:
    // Switches standard output and standard error to unbuffered mode, so
    // partial lines (bars, spinners) appear at once.
    CLI_Display();

    void display_progress(bool active) override;
    void update_progress(double fraction, const char *label) override;
    void update_spinner(bool active, const char *label) override;
    void info_message(const char *text) override;
    void error_message(const char *text) override;
};
