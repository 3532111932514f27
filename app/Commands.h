// The commands of one run, carried out on the Updater in their fixed order:
// fingerprint, download, then one of discover, update or recover, server
// build list, local build list, token.
#pragma once

#include "app/Parameters.h"

class CLI_Display;
class Updater;

// Runs what params asks for and returns the program's exit status.
int _run_commands(Updater &updater, Parameters &params, CLI_Display &display);
