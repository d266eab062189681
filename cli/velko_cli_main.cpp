// velko-cli: the reloader on the command line.  Parses the command line with CLI11 and runs
// one command; every command returns the exit status (exit_status.h).
#include "cli/commands.h"
#include "devtools/c_array.h"
#include "devtools/srec_export.h"
#include "framework/runtime.h"
#include "link/device_programmer.h"
#include "port_runs/exit_status.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iterator>
#include <vector>

namespace {

const char kProgramExample[] =
    "Examples:\n"
    "  velko-cli program VYRA_FULL.A37 --port /dev/ttyUSB0\n"
    "  velko-cli program VYRA_FULL.A37 --port COM7 --port COM12 --json\n"
    "  velko-cli program VYRA_FULL.A37 -p COM7 --instrument 4711 -p COM8 --instrument 4712\n"
    "  velko-cli program VYRA_FULL.A37 --ports-from rig-ports.txt --trace support.txt\n"
    "  velko-cli program VYRA_FULL.A37 --port /dev/ttyUSB0 --block-rate 57600 --retry 2\n"
    "Exit status: 0 every port programmed; 1 an instrument failed; 2 usage; 3 the file was\n"
    "refused; 130 interrupted.";

}  // namespace

int main(int argc, char** argv) {
    // No library from the current folder, before anything can load one.
    RestrictLibrarySearch();

    CLI::App app{"Reloads the application firmware of Vyra instruments over a serial port.",
                 "velko-cli"};
    app.set_version_flag("--version", "velko-cli " ORVANE_VERSION);
    app.require_subcommand(1);
    app.footer("Run 'velko-cli COMMAND --help' for a command's options and an example.");

    ProgramOptions program;
    CLI::App* programCommand =
        app.add_subcommand("program",
                           "Reload instruments with an application file, as "
                           "\"Reload Vyra\" does: read, stamp, sign with --sign, "
                           "refuse an unsigned image, then program every port at once.");
    programCommand->add_option("FILE", program.file, "the application file (*.a37)")->required();
    programCommand
        ->add_option("--port,-p", program.ports,
                     "a serial port: /dev/ttyUSB0, /dev/serial/by-id/..., COM7, \\\\.\\COM12; "
                     "give it once for each port")
        ->type_size(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    programCommand
        ->add_option("--instrument", program.instruments,
                     "the serial number of the instrument on a port, as its label says; give "
                     "it once for each port, in the ports' order")
        ->type_size(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    programCommand->add_option("--ports-from", program.portsFrom,
                               "a file with one port name a line (# starts a comment)");
    programCommand->add_option("--sign", program.signLibrary,
                               "sign the image with this signing library first");
    programCommand->add_flag("--json", program.json,
                             "one JSON event a line on stdout, and nothing else there");
    programCommand->add_flag("--no-progress", program.noProgress,
                             "no live progress display: a line at each 10 %");
    programCommand->add_option("--trace", program.trace,
                               "write every byte sent and received to this file");
    // The block phase's rate goes to the engine as PortRunSettings::blockRate
    // (port_runs/port_run.h says where it ends: the programmer, the 'B' frame, the line).
    programCommand
        ->add_option("--block-rate", program.blockRate,
                     "the line rate of the block phase: 19200, 38400, 57600 or 115200 (for a "
                     "cable or adapter that loses bytes at full speed)")
        ->capture_default_str()
        ->check(CLI::IsMember(std::vector<int32_t>(std::begin(kBlockBaudRates),
                                                   std::end(kBlockBaudRates))));
    programCommand
        ->add_option("--retry", program.retries,
                     "run a port whose run failed again from the start, up to N more times, "
                     "after a pause of 1 s (never after Ctrl-C or for a port that is not there)")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
    programCommand->footer(kProgramExample);

    std::string kickPort;
    CLI::App* kickCommand = app.add_subcommand(
        "kick",
        "Send the boot loader's kick-start, as \"Start BIOS\" does, for an instrument "
        "that does not start: run it right after switching the instrument on.");
    kickCommand->add_option("--port,-p", kickPort, "the serial port")->required();
    kickCommand->footer("Example:\n  velko-cli kick --port /dev/ttyUSB0");

    std::string infoFile;
    bool infoJson = false;
    CLI::App* infoCommand =
        app.add_subcommand("info",
                           "Read and stamp a file as a load would; print its header, whether it is "
                           "signed, its records and what was dropped from it and why.");
    infoCommand->add_option("FILE", infoFile, "the application file")->required();
    infoCommand->add_flag("--json", infoJson, "one JSON object on stdout");
    infoCommand->footer("Example:\n  velko-cli info VYRA_FULL.A37 --json");

    std::string exportFile, exportOutput = "ROVOD.A37", exportSign;
    CLI::App* exportCommand = app.add_subcommand(
        "export", "Write the stamped (with --sign also signed) image as S2 records.");
    exportCommand->add_option("FILE", exportFile, "the application file")->required();
    exportCommand->add_option("--output,-o", exportOutput, "the file to write")
        ->capture_default_str();
    exportCommand->add_option("--sign", exportSign, "sign the image with this library first");
    exportCommand->footer(
        "Example:\n  velko-cli export APP.A37 --sign ./libkesp.so --output SIGNED.A37");

    std::string carrayFile;
    bool bootup = false, loader = false;
    uint32_t base = 0;
    CLI::App* carrayCommand = app.add_subcommand(
        "carray",
        "Turn a boot-up or loader S-record image into a C array, written beside the "
        "file as NAMECDATA.H.");
    carrayCommand->add_option("FILE", carrayFile, "the S-record file")->required();
    CLI::Option* bootupFlag =
        carrayCommand->add_flag("--bootup", bootup, "boot-up code: array index 0 is 0xFFE080");
    CLI::Option* loaderFlag =
        carrayCommand->add_flag("--loader", loader, "loader code: array index 0 is 0");
    CLI::Option* baseOption = carrayCommand->add_option(
        "--base", base, "the address of array index 0 (decimal, or hexadecimal with 0x)");
    bootupFlag->excludes(loaderFlag)->excludes(baseOption);
    loaderFlag->excludes(baseOption);
    carrayCommand->footer("Example:\n  velko-cli carray LOADER.A37 --loader");

    bool portsJson = false;
    CLI::App* portsCommand = app.add_subcommand("ports", "List the serial ports that exist.");
    portsCommand->add_flag("--json", portsJson, "one JSON object on stdout");
    portsCommand->footer("Example:\n  velko-cli ports");

    try {
        app.parse(argc, argv);
        if (carrayCommand->parsed() && !bootup && !loader && baseOption->count() == 0) {
            throw CLI::RequiredError("one of --bootup, --loader or --base");
        }
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }

    if (programCommand->parsed()) {
        return RunProgram(program);
    }
    if (kickCommand->parsed()) {
        return RunKick(kickPort);
    }
    if (infoCommand->parsed()) {
        return RunInfo(infoFile, infoJson);
    }
    if (exportCommand->parsed()) {
        return RunExport(exportFile, exportOutput, exportSign);
    }
    if (carrayCommand->parsed()) {
        return RunCArray(carrayFile, bootup ? kBootupArrayBase : loader ? kLoaderArrayBase : base);
    }
    return RunPorts(portsJson);
}
