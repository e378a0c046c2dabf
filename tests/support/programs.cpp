// Starting other programs for the tests: CreateProcess on Windows, fork and exec
// elsewhere; the two halves below are the only places that know which.

#include "tests/support/programs.h"
#include "tests/support/other_programs.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// Starts `argv` with its input from `input_file`, or from a pipe the program's
// holder closes when none is named (one half per platform, below).
bool start_program(RunningProgram& program, const std::vector<std::string>& argv, const std::string& input_file,
                   ProgramErrors errors = ProgramErrors::kKept);

namespace {

std::map<std::string, RoleFunction>& roles() {
    static std::map<std::string, RoleFunction> table;
    return table;
}

}  // namespace

bool register_role(const char* name, RoleFunction function) {
    roles()[name] = std::move(function);
    return true;
}

std::vector<std::string> role_command(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> argv{this_program(), "--role", name};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ProgramResult run_role(const std::string& name, const std::vector<std::string>& args) {
    return run_program(role_command(name, args));
}

RunningProgram start_role(const std::string& name, const std::vector<std::string>& args) {
    return RunningProgram(role_command(name, args));
}

RunningProgram start_role_until_ready(const std::string& name, const std::vector<std::string>& args,
                                      std::string* line) {
    RunningProgram program = start_role(name, args);
    *line = program.read_line();
#ifdef _WIN32
    if (line->empty()) {
        program.wait();
        if (program.failure().rfind("ended by exception", 0) == 0 ||
            program.failure().rfind("could not start: CreateProcessA failed with error 1359", 0) == 0) {
            printf("note: role %s %s: started again\n", name.c_str(), program.failure().c_str());
            program = start_role(name, args);
            *line = program.read_line();
        }
    }
#endif
    return program;
}

int run_role_from_command_line(int argc, char** argv, int* code) {
    if (argc < 3 || strcmp(argv[1], "--role") != 0) return 0;
    auto it = roles().find(argv[2]);
    if (it == roles().end()) {
        fprintf(stderr, "no role named %s\n", argv[2]);
        *code = 125;
        return 1;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    *code = it->second(args);
    fflush(stdout);
    return 1;
}

// The platform halves fill in a started program.
struct RunningProgramAccess {
    template <class Handle>
    static void set(RunningProgram& p, Handle process, Handle input, Handle output) {
        p.process_ = process;
        p.input_ = input;
        p.output_ = output;
        p.started_ = true;
    }
    static void fail(RunningProgram& p, const std::string& why) { p.failure_ = why; }
};

RunningProgram::RunningProgram(const std::vector<std::string>& argv) { start_program(*this, argv, ""); }

RunningProgram::RunningProgram(RunningProgram&& other) noexcept { *this = std::move(other); }

RunningProgram& RunningProgram::operator=(RunningProgram&& other) noexcept {
    if (this != &other) {
        if (started_ && !waited_) wait();
        started_ = std::exchange(other.started_, false);
        waited_ = std::exchange(other.waited_, false);
        code_ = other.code_;
        buffer_ = std::move(other.buffer_);
        rest_ = std::move(other.rest_);
        failure_ = std::move(other.failure_);
#ifdef _WIN32
        process_ = std::exchange(other.process_, nullptr);
        input_ = std::exchange(other.input_, nullptr);
        output_ = std::exchange(other.output_, nullptr);
#else
        process_ = std::exchange(other.process_, -1);
        input_ = std::exchange(other.input_, -1);
        output_ = std::exchange(other.output_, -1);
#endif
    }
    return *this;
}

RunningProgram::~RunningProgram() {
    if (started_ && !waited_) wait();
}

void RunningProgram::kill() {
    if (started_ && !waited_) terminate();
    wait();
}

int RunningProgram::wait() {
    if (!started_) return -1;
    if (waited_) return code_;
    stop_input();
    rest_ = buffer_;
    buffer_.clear();
    code_ = finish();
    waited_ = true;
    return code_;
}

std::string RunningProgram::read_line() {
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        char chunk[512];
        long n = -1;
#ifdef _WIN32
        DWORD got = 0;
        if (output_ && ReadFile(output_, chunk, sizeof chunk, &got, nullptr)) n = (long)got;
#else
        if (output_ >= 0) n = (long)read(output_, chunk, sizeof chunk);
#endif
        if (n <= 0) {
            std::string line;
            line.swap(buffer_);
            return line;
        }
        buffer_.append(chunk, (size_t)n);
    }
}

std::vector<std::string> lines_of(const std::string& out) {
    std::vector<std::string> lines;
    size_t at = 0, end;
    while ((end = out.find('\n', at)) != std::string::npos) {
        lines.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    if (at < out.size()) lines.push_back(out.substr(at));
    return lines;
}

namespace {

ProgramResult run_once(const std::vector<std::string>& argv, const std::string& input_file, ProgramErrors errors) {
    ProgramResult result;
    RunningProgram program;
    if (start_program(program, argv, input_file, errors)) {
        result.code = program.wait();
        result.out = program.rest();
    }
    if (result.code == -1) result.out += "[" + program.failure() + "]\n";
    return result;
}

}  // namespace

ProgramResult run_program(const std::vector<std::string>& argv, const std::string& input_file, ProgramErrors errors) {
    ProgramResult result = run_once(argv, input_file, errors);
#ifdef _WIN32
    // Under Wine a program started among hundreds has once ended by an exception
    // before writing anything, and did not again in many runs since; Wine has also
    // once failed to create a process at all (error 1359, its internal error) while
    // two test programs ran at once. Either is run once more, and said on this
    // program's output. A program at fault fails the second time too.
    if (result.code == -1 && (result.out.rfind("[ended by exception", 0) == 0 ||
                              result.out.rfind("[could not start: CreateProcessA failed with error 1359", 0) == 0)) {
        printf("note: %s %s: run again\n", argv.empty() ? "" : argv[0].c_str(), result.out.substr(0, result.out.size() - 1).c_str());
        result = run_once(argv, input_file, errors);
    }
#endif
    return result;
}

std::vector<std::string> split_command_line(const std::string& line, std::string* input_file) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false, quoted = false, next_is_input = false;
    auto finish = [&] {
        if (!in_word) return;
        if (next_is_input) *input_file = word;
        else if (word == "<") {
            next_is_input = true;
            word.clear();
            in_word = false;
            return;
        } else words.push_back(word);
        next_is_input = false;
        word.clear();
        in_word = false;
    };
    for (char c : line) {
        if (quoted) {
            if (c == '\'') quoted = false;
            else word += c;
        } else if (c == '\'') {
            quoted = in_word = true;
        } else if (c == ' ' || c == '\t') {
            finish();
        } else {
            word += c;
            in_word = true;
        }
    }
    finish();
    return words;
}

ProgramResult run_command_line(const std::string& program, const std::string& line) {
    std::string input;
    std::vector<std::string> argv{program};
    for (std::string& w : split_command_line(line, &input)) argv.push_back(std::move(w));
    return run_program(argv, input);
}

#ifdef _WIN32

namespace {

// One argument as the C runtime of the started program splits it again.
void append_quoted(std::string* line, const std::string& arg) {
    if (!line->empty()) *line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        *line += arg;
        return;
    }
    *line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        if (c == '"') line->append(backslashes * 2 + 1, '\\');
        else line->append(backslashes, '\\');
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

}  // namespace

std::string this_program() {
    char path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

void* this_program_module() { return GetModuleHandleA(nullptr); }

void sleep_microseconds(unsigned microseconds) { Sleep((microseconds + 999) / 1000); }

bool start_program(RunningProgram& program, const std::vector<std::string>& argv, const std::string& input_file,
                   ProgramErrors errors) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, in_read = nullptr, in_write = nullptr;
    auto fail = [&](const char* call) {
        RunningProgramAccess::fail(program, std::string("could not start: ") + call + " failed with error " +
                                                std::to_string(GetLastError()));
        return false;
    };
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return fail("CreatePipe");
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    if (input_file.empty()) {
        if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return fail("CreatePipe");
        SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    } else {
        in_read = CreateFileA(input_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (in_read == INVALID_HANDLE_VALUE) {
            fail("CreateFileA of the input");
            CloseHandle(out_read);
            CloseHandle(out_write);
            return false;
        }
    }
    std::string line;
    for (const std::string& a : argv) append_quoted(&line, a);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    HANDLE nowhere = errors == ProgramErrors::kDropped
                         ? CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr)
                         : INVALID_HANDLE_VALUE;
    si.hStdError = nowhere != INVALID_HANDLE_VALUE ? nowhere : out_write;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    std::vector<char> writable(line.begin(), line.end());
    writable.push_back('\0');
    BOOL made = CreateProcessA(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (!made) fail("CreateProcessA");
    CloseHandle(out_write);
    CloseHandle(in_read);
    if (nowhere != INVALID_HANDLE_VALUE) CloseHandle(nowhere);
    if (!made) {
        CloseHandle(out_read);
        if (in_write) CloseHandle(in_write);
        return false;
    }
    CloseHandle(pi.hThread);
    RunningProgramAccess::set(program, pi.hProcess, in_write, out_read);
    return true;
}

void RunningProgram::stop_input() {
    if (input_) CloseHandle(input_);
    input_ = nullptr;
}

void RunningProgram::terminate() { TerminateProcess(process_, 137); }

int RunningProgram::finish() {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(output_, chunk, sizeof chunk, &got, nullptr) && got > 0) rest_.append(chunk, got);
    CloseHandle(output_);
    output_ = nullptr;
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    // Line ends as a program on this platform writes them are read as on Linux.
    std::string plain;
    for (size_t i = 0; i < rest_.size(); i++)
        if (!(rest_[i] == '\r' && i + 1 < rest_.size() && rest_[i + 1] == '\n')) plain += rest_[i];
    rest_.swap(plain);
    // An exception that ended the program (0xC0000005 and its kind) is a death.
    if (code <= 255) return (int)code;
    char why[64];
    snprintf(why, sizeof why, "ended by exception 0x%08lX", (unsigned long)code);
    failure_ = why;
    return -1;
}

#else

std::string this_program() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, (size_t)n) : std::string();
}

void* this_program_module() { return dlopen(nullptr, RTLD_NOW); }

void sleep_microseconds(unsigned microseconds) { usleep(microseconds); }

bool start_program(RunningProgram& program, const std::vector<std::string>& argv, const std::string& input_file,
                   ProgramErrors errors) {
    auto fail = [&](const char* call) {
        RunningProgramAccess::fail(program, std::string("could not start: ") + call + ": " + strerror(errno));
        return false;
    };
    if (argv.empty()) return false;
    int out[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return fail("pipe2");
    int input = -1;
    if (input_file.empty()) {
        if (pipe2(in, O_CLOEXEC) != 0) return fail("pipe2");
        input = in[0];
    } else {
        input = open(input_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (input < 0) {
            fail("open of the input");
            close(out[0]);
            close(out[1]);
            return false;
        }
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // A child whose reader went away should end, not be killed by the signal.
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input, 0);
        dup2(out[1], 1);
        int nowhere = errors == ProgramErrors::kDropped ? open("/dev/null", O_WRONLY) : -1;
        dup2(nowhere >= 0 ? nowhere : out[1], 2);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) fail("fork");
    close(out[1]);
    close(input);
    if (pid < 0) {
        close(out[0]);
        if (in[1] >= 0) close(in[1]);
        return false;
    }
    RunningProgramAccess::set(program, pid, in[1], out[0]);
    return true;
}

void RunningProgram::stop_input() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void RunningProgram::terminate() { ::kill(process_, SIGKILL); }

int RunningProgram::finish() {
    char chunk[4096];
    ssize_t n;
    while ((n = read(output_, chunk, sizeof chunk)) > 0) rest_.append(chunk, (size_t)n);
    close(output_);
    output_ = -1;
    int status = 0;
    while (waitpid(process_, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    failure_ = "ended by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

#endif

#ifndef _WIN32
bool python_has(const std::string& modules) {
    return system(("/usr/bin/python3 -c 'import " + modules + "' >/dev/null 2>&1").c_str()) == 0;
}

std::string shell_output(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (p) pclose(p);
    return out;
}

std::string run_python(const std::string& script) { return shell_output("/usr/bin/python3 - 2>&1 <<'PY'\n" + script + "PY\n"); }
#endif
