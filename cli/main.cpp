// veldra-predict: the prediction job from the command line.
#include "cli/command_line.h"
#include "cli/predict_command.h"

#ifdef VELDRA_WITH_REPORT
#include "report/job_report.h"
#endif

namespace {

int predict(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& stop, bool terminal) {
#ifdef VELDRA_WITH_REPORT
    return veldra::run_predict_command(arguments, out, err, stop, terminal,
                                       veldra::write_job_report_offscreen);
#else
    return veldra::run_predict_command(arguments, out, err, stop, terminal);
#endif
}

} // namespace

int main(int argc, char** argv) {
    return veldra::run_command(argc, argv, predict);
}
