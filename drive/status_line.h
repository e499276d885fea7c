// The one-line status on the console: the status text for the drive state.
#pragma once

#include "drive/status_text.h"

// Clears the console and writes the status line for the drive state.
void showStatus();
