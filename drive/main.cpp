// rcdrive: drives a radio-controlled vehicle from the keyboard through its
// USB transmitter. Answers --help and --version given alone; ignores any
// other arguments.
#include "drive/drive_loop.h"
#include "options/info_options.h"
#include "process/descriptors.h"
#include "process/signals.h"

namespace {

const char* const kHelp =
    "usage: rcdrive [--help | --version]\n"
    "\n"
    "Drives a radio-controlled vehicle through its USB transmitter \"dimsal\":\n"
    "waits for the transmitter, then streams command frames to it.\n"
    "\n"
    "  Up, Down     one speed step forward, back\n"
    "  Right, Left  one steering step to that side\n"
    "  Esc          rest: stop, straight\n"
    "  q            rest, then end\n"
    "  Q, PgDn      STOP, rest, then end\n"
    "While it waits for the transmitter, q, Q and PgDn end it at once.\n"
    "A gamepad drives too: hold a shoulder button and steer with the left stick.\n"
    "\n"
    "Exit status: 0 after q, Q or PgDn; 128 + N after signal N, 130 after Ctrl+C\n"
    "(on Windows, Ctrl+C: 0xC000013A).\n"
    "Why a transmitter cannot be used: the line under the prompt, and on Linux\n"
    "rcdrive-monitor --list. More: man rcdrive (on Windows, README.txt).\n";

} // namespace

int main(int argc, char** argv) {
    claimStandardDescriptors();
    const int answered = answerInfoOption(argc, argv, "rcdrive", RCDRIVE_VERSION, kHelp,
                                          InfoOptionPlace::OnlyArgument);
    if (answered >= 0) {
        return answered;
    }
    exitProcess(runDrive());
}
