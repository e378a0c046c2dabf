#pragma once
// Other programs for the tests, the same way on Linux and on Windows: a program run
// to its end with its output kept, a program left running that says when it is
// ready and stops when its input closes, and this test program itself run again in
// one of its roles (a second process with its own engine, for locks between
// processes). No shell is involved: arguments go to the program as they are.

#include <functional>
#include <string>
#include <vector>

struct ProgramResult {
    int code = -1;    // the exit code; -1 when the program could not start or died
    std::string out;  // what it wrote, output and errors together, then (when the
                      // code is -1) a line in brackets saying why it has none
};

// Runs `argv` (the program first) to its end; its input is the file `input_file`
// when one is named, else empty. Its errors go with its output, or nowhere.
enum class ProgramErrors { kKept, kDropped };
ProgramResult run_program(const std::vector<std::string>& argv, const std::string& input_file = "",
                          ProgramErrors errors = ProgramErrors::kKept);
// The lines of a program's output, without their ends.
std::vector<std::string> lines_of(const std::string& out);

// `program` with the arguments of a command line as the tests write it: words split
// at blanks, '...' quotes (a word or a part of one), "< FILE" names the input.
ProgramResult run_command_line(const std::string& program, const std::string& line);
// The words of such a command line; the input file, if named, in `*input_file`.
std::vector<std::string> split_command_line(const std::string& line, std::string* input_file);

// A program started and left running. It reads its input until the input closes;
// `stop_input` closes it (the usual "go on and end" signal of the roles).
class RunningProgram {
public:
    RunningProgram() = default;
    explicit RunningProgram(const std::vector<std::string>& argv);
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram& operator=(RunningProgram&& other) noexcept;
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    ~RunningProgram();  // waits for the program (after closing its input)

    bool started() const { return started_; }
    // The next line the program writes, without its end; "" at the end of its output.
    std::string read_line();
    void stop_input();
    // Ends the program at once, as a kill would, and waits for it.
    void kill();
    // Closes the input, reads the rest of the output and waits: the exit code.
    int wait();
    // What was written after the lines already read (complete once `wait` returned).
    const std::string& rest() const { return rest_; }
    // Why the program has no exit code ("could not start: ...", "ended by ..."), or "".
    const std::string& failure() const { return failure_; }

private:
    friend struct RunningProgramAccess;
    // The platform's halves of kill and wait: end the process; read what is left
    // of its output into rest_, wait for it and give its exit code.
    void terminate();
    int finish();
    bool started_ = false, waited_ = false;
    int code_ = -1;
    std::string buffer_, rest_, failure_;
#ifdef _WIN32
    void* process_ = nullptr;
    void* input_ = nullptr;
    void* output_ = nullptr;
#else
    int process_ = -1, input_ = -1, output_ = -1;
#endif
};

// Waits a little (a role trying again for a lock).
void sleep_microseconds(unsigned microseconds);

// This test program's own file, and its module as the library loader sees it.
std::string this_program();
void* this_program_module();

// A role: a function this program runs instead of its tests when started as
// `<program> --role NAME ARGS...`; what it returns is the exit code.
using RoleFunction = std::function<int(const std::vector<std::string>& args)>;
bool register_role(const char* name, RoleFunction function);
#define QXDB_TEST_ROLE(name)                                                                          \
    static int role_##name(const std::vector<std::string>& args);                                     \
    [[maybe_unused]] static const bool role_registered_##name = register_role(#name, role_##name); \
    static int role_##name(const std::vector<std::string>& args)

// Runs a role in a new process of this program.
ProgramResult run_role(const std::string& name, const std::vector<std::string>& args);
RunningProgram start_role(const std::string& name, const std::vector<std::string>& args);
// A role started and its first line read into *line. Under Wine, a start among many
// has ended by an exception before its first line: it is started once more (see
// run_program).
RunningProgram start_role_until_ready(const std::string& name, const std::vector<std::string>& args,
                                      std::string* line);
// The role's command line (for a test that needs to start it differently).
std::vector<std::string> role_command(const std::string& name, const std::vector<std::string>& args);

// Called from the tests' main: runs the role named on the command line, if any.
// Returns 1 with `*code` set when a role ran.
int run_role_from_command_line(int argc, char** argv, int* code);
