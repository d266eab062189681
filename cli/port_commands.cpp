// `velko-cli kick` and `velko-cli ports`.
#include "cli/commands.h"

#include "cli/run_output.h"
#include "link/device_programmer.h"
#include "port_runs/exit_status.h"
#include "port_runs/message_router.h"
#include "port_runs/serial_ports.h"
#include "port_runs/trace_file.h"

#include <nlohmann/json.hpp>

int RunKick(const std::string& port) {
    CRunOutput output(OutputOptions{}, stdout, stderr);
    CMessageRouter router(output);
    const int index = output.AddPort(port);

    // The kick-start's messages are owned by this handle, so they are this port's.
    CDeviceProgrammer programmer;
    CPortTrace watch(nullptr, port);
    programmer.m_link.SetTrace(&watch);
    router.BindOwner(&programmer, index);
    const std::string path = PortOpenPath(port);
    programmer.KickStart(&programmer, path.c_str());
    programmer.m_link.SetTrace(nullptr);

    if (watch.OpenFailed()) {
        const std::string problem = PortOpenProblem(path);
        if (!problem.empty()) {
            output.Note(index, problem);
        }
    }
    return router.Failures(index) > 0 ? kExitFailed : kExitOk;
}

int RunPorts(bool json) {
    const std::vector<SerialPortEntry> ports = ListSerialPorts();
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const SerialPortEntry& port : ports) {
            list.push_back({{"name", port.name}, {"description", port.description}});
        }
        std::printf("%s\n", nlohmann::ordered_json{{"ports", list}}.dump().c_str());
        return kExitOk;
    }
    if (ports.empty()) {
        std::fprintf(stderr, "no serial ports found\n");
    }
    size_t width = 0;
    for (const SerialPortEntry& port : ports) {
        width = std::max(width, port.name.size());
    }
    for (const SerialPortEntry& port : ports) {
        std::printf("%-*s  %s\n", static_cast<int>(width), port.name.c_str(),
                    port.description.c_str());
    }
    return kExitOk;
}
