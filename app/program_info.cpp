#include "app/program_info.h"

#include "app/program_version.h"

std::string updaterUsage() {
    return "Usage: updater [options]\n"
           "Writes the carried control firmware, calibration data and video firmware into\n"
           "the Brevicor USB video-processing device, after showing what it holds.\n"
           "\n"
           "  -batch             no questions: update at once, then exit (exit codes below)\n"
           "  -calib             also recompute and write the calibration data\n"
           "  -nocalib           leave the calibration data alone (the default)\n"
           "  -nomicro           leave the control firmware (microcontroller) alone\n"
           "  -nofpga            leave the video firmware (FPGA) alone\n"
           "  -noverify          skip the read-back verification of the control firmware\n"
           "  -correction VALUE  scale the calibration (-calib) by VALUE, a number above 0\n"
           "  -dfu               only send the device into its bootloader (DFU mode)\n"
           "  -pellinHDMI        only make a device in its bootloader start its application\n"
           "  -device LOCATION   work on the unit plugged in there (as -list shows it)\n"
           "  -serial NUMBER     work on the unit in run mode with this serial number\n"
           "  -list              list the units: where, guise, what each holds and what an\n"
           "                     update with these options would write; writes nothing\n"
           "  -json              JSON lines on standard output; boxes answered by default\n"
           "  -log FILE          append the run's events to FILE (JSON lines with the time)\n"
           "  -h, -?, --help     show this text and exit\n"
           "  --version          show the versions of the program and its firmware, and exit\n"
           "\n"
           "Exit codes: 0 done; 1 with -batch when anything failed (no USB driver, no\n"
           "device, a failed inspection, update, -dfu or -pellinHDMI, a log file that\n"
           "cannot be opened, several units and none picked); 2 with -batch for a bad\n"
           "command line (nothing is done). Without -batch the exit code is 0, except 1\n"
           "for a -device or -serial that names no unit. -list: 0, or 1 when USB access\n"
           "failed or a unit could not be read.\n";
}

std::string updaterVersion(const std::string& carriedControl, const std::string& carriedVideo,
                           const std::vector<std::string>& usbHosts) {
    return "updater " + programVersionText() + " (Brevicor Update Utility)\n" +
           "carried firmware: control " + carriedControl + ", video " + carriedVideo + "\n" +
           usbHostsLine(usbHosts) + "\n";
}

std::string usbHostsLine(const std::vector<std::string>& usbHosts) {
    std::string line = "USB hosts: ";
    for (size_t i = 0; i < usbHosts.size(); ++i) {
        line += (i > 0 ? ", " : "") + usbHosts[i];
    }
    return usbHosts.empty() ? line + "none" : line;
}
