#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

class LineRelay;

// Runs one program whose life is bound to the launcher's: it gets the
// launcher's termination signals and is stopped when the launcher dies,
// however it dies. Its standard input is /dev/null, so it can never wait
// on a console prompt.
class ChildProcess
{
public:
    // Call once, before anything else, from main(). Forwards termination
    // signals to the child and arranges for the launcher to get SIGTERM when
    // its own parent ends. Returns false when that parent is already gone.
    static bool installSignalHandling();
    // The termination signal received so far, 0 when none.
    static int pendingSignal();

    // Returns false with a message in *error when the program did not start.
    bool start(const std::string& program, const std::vector<std::string>& arguments,
               std::string* error);

    // Copies the child's output until it ends. Returns its exit status, or
    // 128 + signal number when a signal ended it.
    int relayUntilExit(LineRelay& output, LineRelay& errorOutput);

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stderr = -1;
};

#endif // CHILDPROCESS_H
