// Runs the real `oxl` binary against the simulated bus and checks what it prints, writes and
// returns.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timed_out = false;
};

struct RunOptions {
    std::string input;           // written to the tool's standard input
    std::string interrupt_when;  // send SIGINT once standard output contains this
    std::string cwd;             // working directory of the tool
    double deadline_s = 90.0;    // killed after this long: a hang fails the test
};

// Forks and execs the tool with `args`, collecting both output streams until it exits.
RunResult run_oxl(const std::vector<std::string>& args, const RunOptions& options = {}) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        for (int fd :
             {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            close(fd);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
            _exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(OXL_TOOL_PATH)};
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(OXL_TOOL_PATH, argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!options.input.empty()) {
        const ssize_t written = write(in_pipe[1], options.input.data(), options.input.size());
        EXPECT_EQ(written, static_cast<ssize_t>(options.input.size()));
    }
    close(in_pipe[1]);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(options.deadline_s * 1000));
    bool interrupted = false;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    while (open_fds > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            result.timed_out = true;
            break;
        }
        if (poll(fds, 2, 50) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_fds;
                }
            }
        }
        if (!interrupted && !options.interrupt_when.empty() &&
            result.out.find(options.interrupt_when) != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    for (const auto& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunOptions with_input(std::string text) {
    RunOptions options;
    options.input = std::move(text);
    return options;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// True when some line of `text` consists of exactly `words`, however spaced.
bool has_line(const std::string& text, const std::vector<std::string>& words) {
    for (const auto& line : lines_of(text)) {
        if (words_of(line) == words) {
            return true;
        }
    }
    return false;
}

// The words of the first line of `text` that contains `marker`.
std::vector<std::string> line_with(const std::string& text, const std::string& marker) {
    for (const auto& line : lines_of(text)) {
        if (line.find(marker) != std::string::npos) {
            return words_of(line);
        }
    }
    return {};
}

bool is_number(const std::string& text) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Values of a parameter table (CODE NAME VALUE) by name, from every table in `out`.
std::map<std::string, std::string> parameter_values(const std::string& out) {
    std::map<std::string, std::string> values;
    for (const auto& line : lines_of(out)) {
        const auto words = words_of(line);
        if (words.size() >= 3 && words[0].size() == 4 && words[0].rfind("0x", 0) == 0) {
            values[words[1]] = words[2];
        }
    }
    return values;
}

// A fresh directory, removed with the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "oxl_tool_XXXXXX").string();
        path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Well-formedness of an XML document: one root, every tag closed in order, quoted attributes,
// entities only of the predefined kinds. Returns an empty string or what is wrong.
std::string xml_problem(const std::string& xml) {
    std::vector<std::string> open;
    bool had_root = false;
    std::size_t i = 0;
    if (xml.compare(0, 5, "<?xml") == 0) {
        i = xml.find("?>");
        if (i == std::string::npos) {
            return "unterminated prolog";
        }
        i += 2;
    }
    while (i < xml.size()) {
        if (xml[i] == '&') {
            const auto semicolon = xml.find(';', i);
            const std::string entity =
                semicolon == std::string::npos ? "" : xml.substr(i, semicolon - i + 1);
            if (entity != "&amp;" && entity != "&lt;" && entity != "&gt;" && entity != "&quot;" &&
                entity != "&apos;") {
                return "bad entity at " + std::to_string(i);
            }
            ++i;
            continue;
        }
        if (xml[i] != '<') {
            if (open.empty() && !std::isspace(static_cast<unsigned char>(xml[i]))) {
                return "text outside the root at " + std::to_string(i);
            }
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        char quote = 0;
        while (end < xml.size() && (quote != 0 || xml[end] != '>')) {
            if (quote == 0 && (xml[end] == '"' || xml[end] == '\'')) {
                quote = xml[end];
            } else if (quote != 0 && xml[end] == quote) {
                quote = 0;
            } else if (quote == 0 && xml[end] == '<') {
                return "'<' inside a tag at " + std::to_string(end);
            }
            ++end;
        }
        if (end >= xml.size()) {
            return "unterminated tag at " + std::to_string(i);
        }
        const std::string tag = xml.substr(i + 1, end - i - 1);
        const bool closing = tag[0] == '/';
        const bool empty = tag.back() == '/';
        const std::string name =
            tag.substr(closing ? 1 : 0, tag.find_first_of(" \t\n/", 1) - (closing ? 1 : 0));
        if (closing) {
            if (open.empty() || open.back() != name) {
                return "</" + name + "> does not close " +
                       (open.empty() ? "anything" : open.back());
            }
            open.pop_back();
        } else {
            if (open.empty() && had_root) {
                return "second root element " + name;
            }
            had_root = true;
            if (!empty) {
                open.push_back(name);
            }
        }
        i = end + 1;
    }
    if (!open.empty()) {
        return "<" + open.back() + "> is never closed";
    }
    return had_root ? "" : "no root element";
}

TEST(OxlTool, ScanListsTheSimulatedActuatorsAndReportsProgress) {
    const auto r =
        run_oxl({"--sim-actuators", "0x20,0x2a", "scan", "--from", "0x10", "--to", "0x3f"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "Device found"), 2u) << r.out;
    EXPECT_NE(r.out.find("address 0x20 (32)"), std::string::npos);
    EXPECT_NE(r.out.find("address 0x2a (42)\tmodel BRISO"), std::string::npos) << r.out;
    // 48 ids at up to 50 ms each: long enough for at least one progress line.
    EXPECT_NE(r.err.find("of 48 ids done"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("left"), std::string::npos);
    EXPECT_NE(r.err.find("2 device(s) found in 0x10..0x3f"), std::string::npos) << r.err;

    const auto none = run_oxl({"--sim-actuators", "0x40", "scan", "--from", "16", "--to", "0x12"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("No device answered in 0x10..0x12"), std::string::npos) << none.err;
}

TEST(OxlTool, ScanInChunksFindsDevicesOnEveryChunkBoundaryOnce) {
    // The scan runs in chunks of 10 ids: 0x19/0x1a and 0x23 sit on chunk edges of 0x10..0x23.
    const auto r = run_oxl(
        {"--sim-actuators", "0x10,0x19,0x1a,0x23", "scan", "--from", "0x10", "--to", "0x23"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "Device found"), 4u) << r.out;
    for (const char* id : {"0x10 (16)", "0x19 (25)", "0x1a (26)", "0x23 (35)"}) {
        EXPECT_EQ(count_of(r.out, std::string("address ") + id), 1u) << id << "\n" << r.out;
    }

    // A range that starts at 0 includes the adapter itself.
    const auto adapter = run_oxl({"--sim", "scan", "--from", "0", "--to", "0x1"});
    EXPECT_EQ(adapter.status, 0) << adapter.err;
    EXPECT_NE(adapter.out.find("address 0x0 (0)\tmodel CAN_ADAPTER"), std::string::npos)
        << adapter.out;
}

TEST(OxlTool, InfoShowsIdentityStateAndEveryParameter) {
    const auto r = run_oxl({"--sim", "info", "33"});  // decimal id of 0x21
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Actuator 0x21 (33) on the simulated bus"), std::string::npos) << r.out;
    EXPECT_TRUE(has_line(r.out, {"model", "BRISO"})) << r.out;
    EXPECT_TRUE(has_line(r.out, {"firmware", "1.1.2"}));
    EXPECT_TRUE(has_line(r.out, {"bus", "voltage", "48"}));
    const auto values = parameter_values(r.out);
    EXPECT_EQ(values.size(), 31u);
    EXPECT_EQ(values.at("ADDRESS"), "33");
    EXPECT_EQ(values.at("PARAM_80"), "20000");
    EXPECT_EQ(values.at("MODE"), "7");
    EXPECT_TRUE(has_line(r.out, {"0x30", "MODE", "7", "POSITION"})) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(OxlTool, ParamSetReadsBackAndBatchKeepsOneBus) {
    const auto r = run_oxl({"--sim", "batch", "-"},
                           with_input("# set, then read in the same process\n"
                                      "param set 0x20 LIMIT_TORQUE=2.5 k_stiff=30 mode=speed\n"
                                      "\n"
                                      "param get 0x20 limit_torque K_STIFF MODE PARAM_80\n"
                                      "param get 0x21 LIMIT_TORQUE\n"));
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, 0) << r.err;
    // `param set` shows before, written and read back.
    EXPECT_TRUE(has_line(r.out, {"LIMIT_TORQUE", "0", "2.5", "2.5"})) << r.out;
    EXPECT_TRUE(has_line(r.out, {"MODE", "7", "6", "6"}));
    const auto sections = r.out.find("> param get 0x21");
    ASSERT_NE(sections, std::string::npos);
    const auto values20 = parameter_values(r.out.substr(0, sections));
    EXPECT_EQ(values20.at("LIMIT_TORQUE"), "2.5");
    EXPECT_EQ(values20.at("K_STIFF"), "30");
    EXPECT_EQ(values20.at("MODE"), "6");
    EXPECT_EQ(values20.at("PARAM_80"), "20000");
    // The other actuator kept its value.
    EXPECT_EQ(parameter_values(r.out.substr(sections)).at("LIMIT_TORQUE"), "0");
}

TEST(OxlTool, BatchStopsAtTheFirstFailingLineWithItsStatus) {
    const auto r = run_oxl({"--sim", "batch", "-"}, with_input("param set 0x20 LIMIT_TORQUE=4\n"
                                                               "factory-reset 0x20 --yes\n"
                                                               "param get 0x20 LIMIT_TORQUE\n"
                                                               "info 0x55\n"
                                                               "blink 0x20\n"));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    // The factory reset brought the written value back to the factory one.
    const auto after_reset = r.out.substr(r.out.find("> param get"));
    EXPECT_EQ(parameter_values(after_reset).at("LIMIT_TORQUE"), "0") << r.out;
    EXPECT_NE(r.err.find("oxl: error: line 4: actuator 0x55 does not answer"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("> blink"), std::string::npos) << "ran past the failing line";

    const auto usage = run_oxl({"--sim", "batch", "-"}, with_input("scan --from 0x20 --to 0x20\n"
                                                                   "demo\n"));
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("line 2: unknown command 'demo'"), std::string::npos) << usage.err;
}

TEST(OxlTool, SetAddressMovesTheActuatorAndRefusesATakenAddress) {
    const auto r = run_oxl({"--sim", "batch", "-"},
                           with_input("set-address 0x20 0x30\nscan --from 0x1f --to 0x31\n"));
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("now answers at 0x30"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("address 0x30 (48)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("address 0x21 (33)"), std::string::npos);
    EXPECT_EQ(r.out.find("Device found: address 0x20 "), std::string::npos);

    const auto taken = run_oxl({"--sim", "set-address", "0x20", "0x21"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("0x21 is already taken"), std::string::npos) << taken.err;
}

TEST(OxlTool, MonitorWritesCsvWithATimeColumnAtTheRequestedRate) {
    TempDir dir;
    const std::string csv = dir.path + "/feedback.csv";
    const auto r =
        run_oxl({"--sim", "monitor", "0x20", "--rate", "50", "--duration", "1", "--csv", csv});
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = lines_of(read_file(csv));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "time,POSITION_4C,SPEED_45,TORQUE_56");
    // 50 frames per second for one second; generous bounds for a loaded machine.
    EXPECT_GE(rows.size() - 1, 25u);
    EXPECT_LE(rows.size() - 1, 60u);
    double last_time = -1.0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::vector<std::string> fields;
        std::stringstream row(rows[i]);
        for (std::string field; std::getline(row, field, ',');) {
            fields.push_back(field);
        }
        ASSERT_EQ(fields.size(), 4u) << rows[i];
        const double time = std::stod(fields[0]);
        EXPECT_GT(time, last_time);
        EXPECT_LT(time, 1.5);
        last_time = time;
    }

    // CSV on standard output with other items: the simulated bus voltage is 48.
    const auto out = run_oxl({"--sim", "monitor", "0x21", "--items", "vbus,Temp_Winding", "--rate",
                              "20", "--duration", "0.5", "--csv", "-"});
    ASSERT_EQ(out.status, 0) << out.err;
    const auto lines = lines_of(out.out);
    ASSERT_GE(lines.size(), 3u) << out.out;
    EXPECT_EQ(lines[0], "time,VBUS,TEMP_WINDING");
    EXPECT_TRUE(is_number(lines[1].substr(0, lines[1].find(','))));
    EXPECT_EQ(lines[1].substr(lines[1].find(',')), ",48,25");
}

TEST(OxlTool, MonitorPipedPrintsOneRowPerFrameAndLimitsTheItemCount) {
    const auto r = run_oxl({"--sim", "monitor", "0x20", "--items", "SETPOINT_4B,vbus", "--rate",
                            "20", "--duration", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = lines_of(r.out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(words_of(rows[0]), (std::vector<std::string>{"TIME", "SETPOINT_4B", "VBUS"}))
        << rows[0];
    EXPECT_GE(rows.size() - 1, 10u);
    EXPECT_LE(rows.size() - 1, 25u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto words = words_of(rows[i]);
        ASSERT_EQ(words.size(), 3u) << rows[i];
        EXPECT_TRUE(is_number(words[0])) << rows[i];
        EXPECT_EQ(words[1], "0");
        EXPECT_EQ(words[2], "48");
    }

    std::string eleven =
        "POSITION_41,POSITION_43,SPEED_45,TORQUE_49,SETPOINT_4B,POSITION_4C,"
        "SETPOINT_4D,SETPOINT_55,TORQUE_56,POWER_5A,VBUS";
    const auto ok = run_oxl({"--sim", "monitor", "0x20", "--items", eleven, "--rate", "10",
                             "--duration", "0.3", "--csv", "-"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(lines_of(ok.out).at(0), "time," + eleven);
    const auto twelve = run_oxl({"--sim", "monitor", "0x20", "--items", eleven + ",ERRORS"});
    EXPECT_EQ(twelve.status, 2);
    EXPECT_NE(twelve.err.find("at most 11 items"), std::string::npos) << twelve.err;
}

// The "Final:" line of `oxl move`: position, speed, torque, setpoint.
std::vector<double> final_values(const std::string& out) {
    const auto words = line_with(out, "Final:");
    if (words.size() != 9 || words[1] != "position" || words[3] != "speed" ||
        words[5] != "torque" || words[7] != "setpoint") {
        return {};
    }
    return {std::stod(words[2]), std::stod(words[4]), std::stod(words[6]), std::stod(words[8])};
}

TEST(OxlTool, MoveConvergesAndLeavesTheActuatorStopped) {
    const auto position =
        run_oxl({"--sim", "move", "0x20", "--position", "1.5", "--duration", "1"});
    ASSERT_EQ(position.status, 0) << position.err;
    auto v = final_values(position.out);
    ASSERT_EQ(v.size(), 4u) << position.out;
    EXPECT_NEAR(v[0], 1.5, 0.01);
    EXPECT_NEAR(v[3], 1.5, 1e-6);
    EXPECT_NE(position.out.find("Actuator 0x20 stopped."), std::string::npos);

    const auto impedance = run_oxl({"--sim", "move", "0x21", "--impedance", "-0.5", "--stiffness",
                                    "20", "--damping", "8", "--duration", "2"});
    ASSERT_EQ(impedance.status, 0) << impedance.err;
    v = final_values(impedance.out);
    ASSERT_EQ(v.size(), 4u) << impedance.out;
    EXPECT_NEAR(v[0], -0.5, 0.02);

    // Speed mode for half a second, then the position must stay put: the device was stopped.
    const auto speed =
        run_oxl({"--sim", "batch", "-"},
                with_input("move 0x20 --speed 2 --duration 0.5\n"
                           "monitor 0x20 --items position_4c --rate 20 --duration 0.5 --csv -\n"));
    ASSERT_EQ(speed.status, 0) << speed.err;
    v = final_values(speed.out);
    ASSERT_EQ(v.size(), 4u) << speed.out;
    EXPECT_NEAR(v[1], 2.0, 1e-6);
    EXPECT_GT(v[0], 0.5);
    const auto csv = lines_of(speed.out.substr(speed.out.find("time,POSITION_4C")));
    ASSERT_GE(csv.size(), 4u) << speed.out;
    const std::string first_position = csv[1].substr(csv[1].find(','));
    for (std::size_t i = 2; i < csv.size(); ++i) {
        EXPECT_EQ(csv[i].substr(csv[i].find(',')), first_position) << "moving after the stop";
    }
}

TEST(OxlTool, CtrlCStopsAMoveWithoutDuration) {
    RunOptions options;
    options.interrupt_when = "POSITION";  // the header row: the actuator is running
    const auto start = std::chrono::steady_clock::now();
    const auto r = run_oxl({"--sim", "move", "0x20", "--torque", "1"}, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Actuator 0x20 stopped (Ctrl-C)."), std::string::npos) << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(OxlTool, DemoWritesAWellFormedSvgWithTheFourSeries) {
    TempDir dir;
    RunOptions options;
    options.cwd = dir.path;
    const auto r = run_oxl({"demo", "--output", "plot.svg"}, options);
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string path = dir.path + "/plot.svg";
    EXPECT_NE(r.out.find("written to " + fs::canonical(path).string()), std::string::npos) << r.out;
    // The impedance hold sags by load / stiffness = 0.2 under the load of +10.
    const auto loaded = line_with(r.out, "load +10");
    ASSERT_GE(loaded.size(), 4u) << r.out;
    ASSERT_EQ(loaded[2], "position") << r.out;
    EXPECT_NEAR(std::stod(loaded[3]), 0.8, 0.03);

    const std::string svg = read_file(path);
    EXPECT_EQ(xml_problem(svg), "");
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    for (const char* series : {"position", "speed", "torque", "setpoint"}) {
        const auto at = svg.find(std::string("data-series=\"") + series + "\"");
        ASSERT_NE(at, std::string::npos) << series;
        const auto tag_start = svg.rfind('<', at);
        const auto points_at = svg.find("points=\"", at);
        ASSERT_EQ(svg.compare(tag_start, 9, "<polyline"), 0) << series;
        ASSERT_LT(points_at, svg.find('>', at)) << series;
        const auto begin = points_at + 8;
        const std::string points = svg.substr(begin, svg.find('"', begin) - begin);
        // A few hundred frames at 200 per second over about 4 s, each "x,y " with numbers.
        const auto pairs = words_of(points);
        EXPECT_GE(pairs.size(), 300u) << series;
        for (const auto& pair : pairs) {
            const auto comma = pair.find(',');
            ASSERT_NE(comma, std::string::npos) << pair;
            EXPECT_TRUE(is_number(pair.substr(0, comma)) && is_number(pair.substr(comma + 1)))
                << pair;
        }
        // The legend names every series.
        EXPECT_NE(svg.find(std::string(">") + series + "</text>"), std::string::npos) << series;
    }

    const auto unwritable = run_oxl({"demo", "--output", dir.path + "/missing/dir/plot.svg"});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_NE(unwritable.err.find("cannot write"), std::string::npos) << unwritable.err;
    EXPECT_EQ(unwritable.out, "");
}

TEST(OxlTool, WithoutHardwareTheToolSaysSoAndSuggestsTheSimulatedBus) {
    const auto ports = run_oxl({"ports"});
    ASSERT_EQ(ports.status, 0) << ports.err;
    EXPECT_TRUE(ports.out.rfind("PORT", 0) == 0 || ports.out == "No serial ports found.\n")
        << ports.out;
    const auto rows = lines_of(ports.out);
    if (std::any_of(rows.begin(), rows.end(), [](const std::string& row) {
            const auto words = words_of(row);
            return !words.empty() && words.back() == "yes";
        })) {
        GTEST_SKIP() << "an adapter is plugged in";
    }
    EXPECT_NE(ports.err.find("--sim"), std::string::npos);
    const auto info = run_oxl({"info", "0x20"});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.err.find("no USB-to-CAN adapter found"), std::string::npos) << info.err;
    EXPECT_NE(info.err.find("--sim"), std::string::npos);
    EXPECT_EQ(count_of(info.err, "\n"), 1u) << info.err;
}

TEST(OxlTool, BadInputExitsWithTwoAndASilentDeviceWithOne) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--sim", "frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"--sim", "info", "0x5"}, 2, "out of range"},
        {{"--sim", "info", "0x4000"}, 2, "out of range"},
        {{"--sim", "info", "0xzz"}, 2, "is not a number"},
        {{"--sim", "info", "0x20", "extra"}, 2, "extra"},
        {{"--sim", "param", "get", "0x20", "LIMIT_TORQ"}, 2, "did you mean LIMIT_TORQUE"},
        {{"--sim", "param", "set", "0x20", "LIMIT_TORQUE=abc"}, 2, "is not a number"},
        {{"--sim", "param", "set", "0x20", "LIMIT_TORQUE"}, 2, "expected NAME=VALUE"},
        {{"--sim", "monitor", "0x20", "--items", "position_4c,bogus"}, 2, "unknown item 'bogus'"},
        {{"--sim", "monitor", "0x20", "--rate", "20000"}, 2, "out of range"},
        {{"--sim", "move", "0x20", "--position", "1", "--speed", "2"}, 2, "exactly one"},
        {{"--sim", "move", "0x20", "--position", "1", "--stiffness", "2"}, 2, "--impedance"},
        {{"--sim-actuators", "0x20,0x5", "scan"}, 2, "out of range"},
        {{"--sim", "factory-reset", "0x20"}, 2, "--yes"},
        {{"--sim", "info", "0x55"}, 1, "actuator 0x55 does not answer"},
        {{"--sim", "blink", "0x55"}, 1, "actuator 0x55 does not answer"},
        {{"--port", "/nonexistent/ttyOXL", "info", "0x20"},
         1,
         "no serial port /nonexistent/ttyOXL"},
        // A file that is no serial port: the library explains first, the tool's line comes last.
        {{"--port", "/dev/null", "info", "0x20"}, 1, "cannot open the adapter port /dev/null"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& arg : c.args) {
            line += arg + " ";
        }
        const auto r = run_oxl(c.args);
        ASSERT_FALSE(r.timed_out) << line;
        EXPECT_EQ(r.status, c.status) << line << "\n" << r.err;
        // The tool's own message is one line, the last one.
        const auto err = lines_of(r.err);
        ASSERT_FALSE(err.empty()) << line;
        EXPECT_EQ(err.back().rfind("oxl: error: ", 0), 0u) << line << "\n" << r.err;
        EXPECT_NE(err.back().find(c.message), std::string::npos) << line << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, "oxl: error:"), 1u) << line;
        EXPECT_EQ(r.err.find("Timeout waiting"), std::string::npos) << line;
        if (c.status == 2) {
            EXPECT_EQ(r.out, "") << line;
        }
    }
}

}  // namespace
