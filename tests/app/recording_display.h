// A display that keeps every message, for tests of code that reports through one.
#pragma once

#include "updater/UpdaterDisplayInterface.h"

#include <string>
#include <vector>

class RecordingDisplay : public UpdaterDisplayInterface
{
public:
    void display_progress(bool active) override { events.push_back(active ? "progress on" : "progress off"); }
    void update_progress(double fraction, const char *label) override
    {
        events.push_back("progress " + std::to_string(fraction) + (label ? std::string(" ") + label : ""));
    }
    void update_spinner(bool active, const char *label) override
    {
        events.push_back(std::string(active ? "spin" : "spin off") + (label ? std::string(" ") + label : ""));
    }
    void info_message(const char *text) override { infos.push_back(text); }
    void error_message(const char *text) override { errors.push_back(text); }

    std::vector<std::string> infos, errors, events;
};
