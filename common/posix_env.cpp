// The real platform behind Common::Env.
#include "common/env.h"

#include <cstdlib>
#include <unistd.h>

namespace Common {
namespace {

class PosixEnv : public Env {
public:
    void SleepSeconds(unsigned int seconds) override { ::sleep(seconds); }
    std::time_t Now() override { return ::time(nullptr); }
    int System(const char* command) override { return ::system(command); }
    const char* PidFilePath() override { return "/var/run/quillmar.pelmarosti.pid"; }
};

} // namespace

Env* Env::Default()
{
    // Leaked on purpose: the logger and exit paths may use it until the end.
    static Env* env = new PosixEnv;
    return env;
}

} // namespace Common
