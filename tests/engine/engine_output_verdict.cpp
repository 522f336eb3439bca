// What the broker makes of a real engine's output: reads the output from standard input and
// prints the verdicts of the broker's own analysis, one "key=value" a line:
//   auth_failure=0|1        IsAuthFailure (egress failure → auth_rejected or egress_timeout)
//   reality_refusal=0|1     IsRealityRefusal (for a Reality link, also auth_rejected)
//   tun_failure=REASON N    ClassifyTunFailure with the engine in the given state and no adapter
//   redacted=TEXT           RedactSecretsShort, as the log would carry it (core_exited, engine_reason)
//
//   engine_output_verdict alive|exited EXIT_STATUS < OUTPUT

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "broker/engine/output_analysis.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::string(argv[1]) != "alive" && std::string(argv[1]) != "exited")) {
        std::cerr << "usage: engine_output_verdict alive|exited EXIT_STATUS < OUTPUT\n";
        return 64;
    }
    const std::string all((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    // The engine host keeps only the newest 4096 bytes; judge what the broker would hold.
    const std::string output = all.size() > 4096 ? all.substr(all.size() - 4096) : all;

    vantorel::TunDiagnosis diagnosis;
    diagnosis.process_alive = std::string(argv[1]) == "alive";
    diagnosis.exit_status =
        diagnosis.process_alive ? 0 : static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    diagnosis.output = vantorel::RedactSecrets(output);
    diagnosis.adapters_listed = true;
    const vantorel::TunFailure failure = vantorel::ClassifyTunFailure(diagnosis);

    std::cout << "auth_failure=" << (vantorel::IsAuthFailure(output) ? 1 : 0) << "\n"
              << "reality_refusal=" << (vantorel::IsRealityRefusal(output) ? 1 : 0) << "\n"
              << "tun_failure=" << failure.reason << " " << failure.number << "\n"
              << "redacted=" << vantorel::RedactSecretsShort(output) << "\n";
    return 0;
}
