#include "app/CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Width of the line a bar or spinner may occupy; clearing overwrites it all.
const int LINE_WIDTH = 88;
const int BAR_WIDTH = 69;
const char BAR[] = "=====================================================================";
static_assert(sizeof BAR - 1 == BAR_WIDTH, "bar text is one character per column");

const char *const SPINNER_FRAMES[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// One position for every display in the process.
unsigned char spinner_counter = 0;

bool _on_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

void _clear_line()
{
    printf("\r%*s\r", LINE_WIDTH, " ");
}

} // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool active)
{
    if (!active && _on_terminal())
        _clear_line();
}

void CLI_Display::update_progress(double fraction, const char *label)
{
    if (!_on_terminal())
        return;
    // Out-of-range or undefined fractions draw as an empty or a full bar
    // rather than overflowing the conversions below.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    else if (fraction > 1.0)
        fraction = 1.0;
    int width = BAR_WIDTH;
    if (label) {
        size_t room = strlen(label) + 4;
        width = room >= static_cast<size_t>(BAR_WIDTH) ? 0 : BAR_WIDTH - static_cast<int>(room);
    }
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100.0);
    // At a full bar the pad is -1, which printf takes as a left-aligned width
    // of 1: one space.
    int pad = width - filled - 1;
    if (label)
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR, pad, "", percent);
    else
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, BAR, pad, "", percent);
}

void CLI_Display::update_spinner(bool active, const char *label)
{
    if (!_on_terminal())
        return;
    if (!active) {
        _clear_line();
        return;
    }
    const char *frame = SPINNER_FRAMES[spinner_counter & 7];
    if (label)
        printf("\r (%s) %s      \r", label, frame);
    else
        printf("\r %s      \r", frame);
    spinner_counter = (spinner_counter + 1) & 7;
}

void CLI_Display::info_message(const char *text)
{
    printf("%s\n", text);
}

void CLI_Display::error_message(const char *text)
{
    fprintf(stderr, "%s\n", text);
}
