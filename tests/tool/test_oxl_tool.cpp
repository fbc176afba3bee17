// Runs the real `oxl` binary against the simulated bus and checks what it prints, writes and
// returns.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
const auto npos = std::string::npos;
// The most items one feedback frame carries, in mixed case.
const std::string kElevenItems =
    "vbus,Temp_Winding,POSITION_41,POSITION_43,SPEED_45,TORQUE_49,SETPOINT_4B,POSITION_4C,"
    "SETPOINT_4D,SETPOINT_55,TORQUE_56";

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh directory, removed with the object.
struct TempDir {
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

struct Run {
    int status;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs the tool with `args` in `cwd`, `input` on its standard input; with `interrupt_when`, sends
// it SIGINT once its standard output contains that text; with `read_lines` >= 0, its standard
// output is a pipe whose reader goes away after that many lines (like `| head -n 2`).
Run oxl(const Lines& args, const std::string& input = "", const std::string& interrupt_when = "",
        const std::string& cwd = ".", int read_lines = -1) {
    const TempDir io;
    const std::string in = io.path + "/in", out = io.path + "/out", err = io.path + "/err";
    std::ofstream(in) << input;
    int pipe_fds[2] = {-1, -1};
    if (read_lines >= 0 && pipe(pipe_fds) != 0) {
        return {-1, "", "no pipe"};
    }
    std::vector<char*> argv{const_cast<char*>(OXL_TOOL_PATH)};
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {  // streams to files, so that the tool never blocks on a full pipe
        const int fds[] = {
            open(in.c_str(), O_RDONLY),
            read_lines >= 0 ? pipe_fds[1] : open(out.c_str(), O_WRONLY | O_CREAT, 0600),
            open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
        for (int fd = 0; fd < 3; ++fd) {
            dup2(fds[fd], fd);
        }
        close(pipe_fds[0]);  // else the tool itself would keep the pipe's reading end open
        if (chdir(cwd.c_str()) == 0) {
            execv(OXL_TOOL_PATH, argv.data());
        }
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    bool interrupted = interrupt_when.empty();
    int status = 0;
    pid_t done = 0;
    std::string piped;
    close(pipe_fds[1]);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    while (pid > 0 && (done = waitpid(pid, &status, WNOHANG)) == 0) {
        char buffer[4096];
        for (ssize_t n; pipe_fds[0] >= 0 && (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
            piped.append(buffer, static_cast<std::size_t>(n));
        }
        if (pipe_fds[0] >= 0 && std::count(piped.begin(), piped.end(), '\n') >= read_lines) {
            close(pipe_fds[0]);
            pipe_fds[0] = -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);  // a hang fails the test (status 137) instead of stalling the suite
        } else if (!interrupted && read_file(out).find(interrupt_when) != npos) {
            interrupted = kill(pid, SIGINT) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(pipe_fds[0]);
    if (done != pid) {
        return {-1, "", "the tool could not be run"};
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            read_lines >= 0 ? piped : read_file(out), read_file(err)};
}

Lines lines_of(const std::string& text, char separator = '\n') {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line, separator);) {
        lines.push_back(line);
    }
    return lines;
}

Lines words_of(const std::string& line) {
    Lines words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// True when some line of `text` consists of exactly `words`, however spaced.
bool has_line(const std::string& text, const Lines& words) {
    const auto lines = lines_of(text);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return words_of(line) == words; });
}

// The words of the first line of `text` that contains `marker`.
Lines line_with(const std::string& text, const std::string& marker) {
    for (const auto& line : lines_of(text)) {
        if (line.find(marker) != npos) {
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

using Json = nlohmann::json;

// `id` in lower-case hexadecimal, without a prefix.
std::string hex_of(int id) {
    std::ostringstream text;
    text << std::hex << id;
    return text.str();
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Values by name from the parameter table rows (CODE NAME VALUE ...) in `out`.
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

// What `oxl batch` printed for its line `command`: from its "> command" echo to the next echo.
std::string section(const std::string& out, const std::string& command) {
    const auto at = out.find("> " + command + "\n");
    const auto end = at == npos ? npos : out.find("\n> ", at);
    return at == npos ? "" : out.substr(at, end == npos ? npos : end - at);
}

// What `command` prints (standard output, and standard error when it ends in "2>&1") and
// whether it succeeded, run by the shell.
std::pair<bool, std::string> shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {false, "cannot run: " + command};
    }
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    return {pclose(pipe) == 0, out};
}

TEST(OxlTool, ScanFindsEachDeviceOnceAndReportsProgressAndOutcome) {
    struct Case {
        std::vector<std::string> args;
        int status;
        Lines found;  // each on exactly one line of standard output, and nothing else there
        Lines err;    // each somewhere on standard error
    };
    // The sequential scan runs in chunks of 10 ids: 0x19/0x1a and 0x23/0x24 sit on chunk edges.
    // Addresses from --sim-actuators take the models in turn.
    const std::vector<Case> cases = {
        {{"--sim-actuators", "0x10,0x19,0x1a,0x23,0x24", "scan", "--from", "0x10", "--to", "0x3f",
          "--sequential"},
         0,
         {"address 0x10 (16)\tmodel ARVEN", "address 0x19 (25)\tmodel BRISO", "address 0x1a (26)",
          "address 0x23 (35)", "address 0x24 (36)"},
         // 48 ids at up to 50 ms each: long enough for at least one progress line.
         {"of 48 ids done", "left", "5 device(s) found in 0x10..0x3f"}},
        // By default 512 ids at a time (0x20f/0x210 on a window edge), about 0.37 s per window:
        // at least one progress line. Sequentially this would take 100 s.
        {{"--sim-actuators", "0x10,0x20f,0x210,0x80f", "scan", "--from", "0x10", "--to", "0x80f"},
         0,
         {"address 0x10 (16)\tmodel ARVEN", "address 0x20f (527)\tmodel BRISO",
          "address 0x210 (528)", "address 0x80f (2063)"},
         {"of 2048 ids done", "4 device(s) found in 0x10..0x80f"}},
        {{"--sim-actuators", "0x40", "scan", "--from", "16", "--to", "0x12"},
         1,
         {},
         {"No device answered in 0x10..0x12"}},
        // A range that starts at 0 includes the adapter itself.
        {{"--sim", "scan", "--from", "0", "--to", "0x1"},
         0,
         {"address 0x0 (0)\tmodel CAN_ADAPTER"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto r = oxl(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(lines_of(r.out).size(), c.found.size()) << r.out;
        for (const auto& device : c.found) {
            EXPECT_EQ(count_of(r.out, "Device found: " + device), 1u) << device << "\n" << r.out;
        }
        for (const auto& text : c.err) {
            EXPECT_NE(r.err.find(text), npos) << text << "\n" << r.err;
        }
    }
}

TEST(OxlTool, InfoShowsIdentityStateAndEveryParameter) {
    const auto r = oxl({"--sim", "info", "33"});  // decimal id of 0x21
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Actuator 0x21 (33) on the simulated bus"), npos) << r.out;
    EXPECT_TRUE(has_line(r.out, {"model", "BRISO"})) << r.out;
    EXPECT_TRUE(has_line(r.out, {"firmware", "1.1.2"}));
    EXPECT_TRUE(has_line(r.out, {"bus", "voltage", "48"}));
    const auto values = parameter_values(r.out);
    EXPECT_EQ(values.size(), 31u);
    EXPECT_EQ(values.at("ADDRESS"), "33");
    EXPECT_EQ(values.at("PARAM_80"), "20000");
    EXPECT_TRUE(has_line(r.out, {"0x30", "MODE", "7", "POSITION"})) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(OxlTool, BatchConfiguresOnOneBusAndStopsAtTheFirstFailingLine) {
    const auto r = oxl({"--sim", "batch", "-"},
                       "# configure 0x20; 0x21 keeps its own values\n"
                       "param set 0x20 LIMIT_TORQUE=2.5 k_stiff=30 mode=speed\n"
                       "\n"
                       "param get 0x20 limit_torque K_STIFF MODE PARAM_80\n"
                       "param get 0x21 LIMIT_TORQUE\n"
                       "save 0x20\n"
                       "blink 0x21\n"
                       "factory-reset 0x20 --yes\n"
                       "param get 0x20 LIMIT_TORQUE\n"
                       "set-address 0x21 0x30\n"
                       "scan --from 0x1f --to 0x31\n"
                       "info 0x55\n"
                       "blink 0x20\n");
    EXPECT_EQ(r.status, 1);
    // `param set` shows before, written and read back.
    const auto set = section(r.out, "param set 0x20 LIMIT_TORQUE=2.5 k_stiff=30 mode=speed");
    EXPECT_TRUE(has_line(set, {"LIMIT_TORQUE", "0", "2.5", "2.5"})) << r.out;
    EXPECT_TRUE(has_line(set, {"MODE", "7", "6", "6"}));
    using Values = std::map<std::string, std::string>;
    EXPECT_EQ(
        parameter_values(section(r.out, "param get 0x20 limit_torque K_STIFF MODE PARAM_80")),
        (Values{{"LIMIT_TORQUE", "2.5"}, {"K_STIFF", "30"}, {"MODE", "6"}, {"PARAM_80", "20000"}}));
    EXPECT_EQ(parameter_values(section(r.out, "param get 0x21 LIMIT_TORQUE")),
              (Values{{"LIMIT_TORQUE", "0"}}));
    EXPECT_NE(section(r.out, "save 0x20").find("Actuator 0x20: configuration saved in the device."),
              npos);
    EXPECT_NE(section(r.out, "blink 0x21").find("Actuator 0x21 (BRISO) is blinking."), npos);
    // The factory reset brought the written value back to the factory one.
    EXPECT_EQ(parameter_values(section(r.out, "param get 0x20 LIMIT_TORQUE")),
              (Values{{"LIMIT_TORQUE", "0"}}));
    EXPECT_NE(section(r.out, "set-address 0x21 0x30").find("now answers at 0x30"), npos);
    const auto scan = section(r.out, "scan --from 0x1f --to 0x31");
    EXPECT_NE(scan.find("address 0x30 (48)"), npos) << r.out;
    EXPECT_NE(scan.find("address 0x20 (32)"), npos);
    EXPECT_EQ(scan.find("address 0x21 "), npos);
    EXPECT_NE(r.err.find("oxl: error: line 12: actuator 0x55 does not answer"), npos) << r.err;
    EXPECT_EQ(r.out.find("> blink 0x20"), npos) << "ran past the failing line";

    const auto usage = oxl({"--sim", "batch", "-"}, "# demo needs a bus of its own\ndemo\n");
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("line 2: unknown command 'demo'"), npos) << usage.err;
}

TEST(OxlTool, MonitorWritesCsvJsonOrATableRowPerFrameAtTheRequestedRate) {
    const TempDir dir;
    const std::string csv = dir.path + "/feedback.csv";
    struct Case {
        Lines args;          // after `--sim monitor`
        std::string header;  // comma-separated, also a table's and JSON keys
        Lines ids;           // the actuators, ascending
        std::string period;  // the streaming period sent to each, in 100 us ticks (hex)
        std::string values;  // of every row after its time, comma-separated
    };
    // The default items of two actuators to a file, the most items to standard output, a table
    // (piped, every frame is a row) and JSON lines.
    const std::vector<Case> cases = {
        {{"0x20", "0x21", "--rate", "50", "--duration", "1", "--csv", csv},
         "address,seq,host_time,POSITION_4C,SPEED_45,TORQUE_56",
         {"0x20", "0x21"},
         "C8000000",
         "0,0,0"},
        {{"0x21", "--items", kElevenItems, "--rate", "20", "--duration", "0.5", "--csv", "-"},
         "address,seq,host_time,VBUS,TEMP_WINDING,POSITION_41,POSITION_43,SPEED_45,TORQUE_49,"
         "SETPOINT_4B,POSITION_4C,SETPOINT_4D,SETPOINT_55,TORQUE_56",
         {"0x21"},
         "F4010000",
         "48,25,0,0,0,0,0,0,0,0,0"},
        {{"0x20", "--items", "SETPOINT_4B,vbus", "--rate", "20", "--duration", "1"},
         "SEQ,HOST_TIME,SETPOINT_4B,VBUS",
         {"0x20"},
         "F4010000",
         "0,48"},
        {{"0x21", "0x20", "--items", "vbus", "--rate", "20", "--duration", "0.5", "--json"},
         "address,seq,host_time,VBUS",
         {"0x20", "0x21"},
         "F4010000",
         "48"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const std::string trace = dir.path + "/trace.log";
        Lines args{"--sim", "--trace", trace, "monitor"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = oxl(args);
        ASSERT_EQ(r.status, 0) << r.err;
        // The rate goes out as a period; how many frames then arrive depends on the machine's load.
        for (const auto& id : c.ids) {
            EXPECT_EQ(count_of(read_file(trace), " oxl0 000040" + id.substr(2) + "#06" + c.period),
                      1u)
                << id;
        }
        // A table's columns, and a JSON object's keys (first) and values, as CSV fields.
        Lines rows;
        for (const auto& line : lines_of(c.args.back() == csv ? read_file(csv) : r.out)) {
            std::string fields;
            if (c.args.back() == "--json") {
                const auto object = nlohmann::ordered_json::parse(line);
                if (rows.empty()) {
                    for (const auto& entry : object.items()) {
                        fields += (fields.empty() ? "" : ",") + entry.key();
                    }
                    rows.push_back(fields);
                    fields.clear();
                }
                for (const auto& entry : object.items()) {
                    fields += (fields.empty() ? "" : ",") +
                              (entry.key() == "address" ? "0x" + hex_of(entry.value().get<int>())
                                                        : entry.value().dump());
                }
            } else {
                for (const auto& word : words_of(line)) {
                    fields += (fields.empty() ? "" : ",") + word;
                }
            }
            rows.push_back(fields);
        }
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0], c.header);
        // Each row: the actuator (a table of one leaves it out), the frame's sequence number
        // counted by actuator, its receive time, then the values. Frames of several actuators
        // come in the order they arrived.
        std::map<std::string, std::size_t> seen;
        double last_time = -1.0;
        for (std::size_t i = 1; i < rows.size(); ++i) {
            Lines fields = lines_of(rows[i], ',');
            if (c.header[0] == 'S') {
                fields.insert(fields.begin(), c.ids[0]);
            }
            ASSERT_GE(fields.size(), 4u) << rows[i];
            EXPECT_EQ(fields[1], std::to_string(++seen[fields[0]])) << rows[i];
            ASSERT_TRUE(is_number(fields[2])) << rows[i];
            EXPECT_GE(std::stod(fields[2]), last_time);
            last_time = std::stod(fields[2]);
            std::string values;
            for (std::size_t f = 3; f < fields.size(); ++f) {
                values += (f == 3 ? "" : ",") + fields[f];
            }
            EXPECT_EQ(values, c.values) << rows[i];
        }
        Lines ids;
        for (const auto& entry : seen) {
            ids.push_back(entry.first);
        }
        ASSERT_EQ(ids, c.ids) << r.out;
        // A summary line by actuator counts its frames written; the counters' values depend on
        // the machine's load, so every number reads '#'.
        std::string expected_shape;
        // No more frames than the rate allows by the last one's arrival (times count from before
        // streaming began, and the bus never sends ahead of its clock).
        const double rate =
            10000.0 / std::stoul(c.period.substr(2, 2) + c.period.substr(0, 2), nullptr, 16);
        for (const auto& [id, n] : seen) {
            EXPECT_GE(n, 2u) << id;
            EXPECT_LE(n, rate * last_time + 2) << id;
            const auto summary = line_with(r.err, "actuator " + id + ":");
            ASSERT_GE(summary.size(), 4u) << r.err;
            EXPECT_EQ(summary[3], std::to_string(n));
            expected_shape +=
                "oxl: actuator #x#: # frames in # s (# per second); # missing (estimated), "
                "largest gap # s\n";
        }
        expected_shape += std::string("oxl: ") +
                          (c.args.back() == csv ? "# rows written to FILE; " : "") +
                          "simulated bus: # frames sent, # skipped for lag; # messages "
                          "dispatched, # unclaimed\n";
        std::string err = r.err, shape;
        if (err.find(csv) != npos) {
            err.replace(err.find(csv), csv.size(), "FILE");
        }
        for (const char ch : err) {
            const bool digit = (ch >= '0' && ch <= '9') || ch == '.';
            if (!digit) {
                shape += ch;
            } else if (shape.empty() || shape.back() != '#') {
                shape += '#';
            }
        }
        EXPECT_EQ(shape, expected_shape) << r.err;
    }
}

// The "Final:" line of `oxl move`: position, speed, torque, setpoint.
std::vector<double> final_values(const std::string& out) {
    const auto w = line_with(out, "Final:");
    if (w.size() != 9 || w[1] != "position" || w[3] != "speed" || w[5] != "torque" ||
        w[7] != "setpoint") {
        return {};
    }
    return {std::stod(w[2]), std::stod(w[4]), std::stod(w[6]), std::stod(w[8])};
}

TEST(OxlTool, MoveConvergesInEachModeAndLeavesTheActuatorStopped) {
    const auto position = oxl({"--sim", "move", "0x20", "--position", "1.5", "--duration", "1"});
    ASSERT_EQ(position.status, 0) << position.err;
    auto v = final_values(position.out);
    ASSERT_EQ(v.size(), 4u) << position.out;
    EXPECT_NEAR(v[0], 1.5, 0.01);
    EXPECT_NEAR(v[3], 1.5, 1e-6);
    EXPECT_NE(position.out.find("Actuator 0x20 stopped."), npos);

    const auto impedance = oxl({"--sim", "move", "0x21", "--impedance", "-0.5", "--stiffness", "20",
                                "--damping", "8", "--duration", "2"});
    ASSERT_EQ(impedance.status, 0) << impedance.err;
    v = final_values(impedance.out);
    ASSERT_EQ(v.size(), 4u) << impedance.out;
    EXPECT_NEAR(v[0], -0.5, 0.02);

    // Speed mode for half a second, then the position must stay put: the device was stopped.
    const auto speed = oxl({"--sim", "batch", "-"},
                           "move 0x20 --speed 2 --duration 0.5\n"
                           "monitor 0x20 --items position_4c --rate 20 --duration 0.5 --csv -\n");
    ASSERT_EQ(speed.status, 0) << speed.err;
    v = final_values(speed.out);
    ASSERT_EQ(v.size(), 4u) << speed.out;
    EXPECT_NEAR(v[1], 2.0, 1e-6);
    EXPECT_GT(v[0], 0.5);
    const auto csv = lines_of(speed.out.substr(speed.out.find("seq,host_time,POSITION_4C")));
    ASSERT_GE(csv.size(), 4u) << speed.out;
    const auto last_field = [](const std::string& row) { return row.substr(row.rfind(',')); };
    for (std::size_t i = 2; i < csv.size(); ++i) {
        EXPECT_EQ(last_field(csv[i]), last_field(csv[1])) << "moving after the stop";
    }

    // Without a duration the move runs until Ctrl-C; the header row shows it is running.
    const auto interrupted = oxl({"--sim", "move", "0x20", "--torque", "1"}, "", "POSITION");
    EXPECT_EQ(interrupted.status, 0) << interrupted.err;
    EXPECT_NE(interrupted.out.find("Actuator 0x20 stopped (Ctrl-C)."), npos) << interrupted.out;
}

TEST(OxlTool, AClosedOutputPipeEndsACommandLikeCtrlCButWithStatusThree) {
    const TempDir dir;
    for (const Lines& args :
         {Lines{"--sim", "move", "0x20", "--speed", "1"}, Lines{"--sim", "monitor", "0x20"},
          Lines{"demo", "--output", dir.path + "/plot.svg"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const auto r = oxl(args, "", "", ".", 2);  // `oxl ... | head -n 2`
        EXPECT_EQ(r.status, 3) << "141: killed by SIGPIPE before anything was stopped";
        EXPECT_GE(lines_of(r.out).size(), 2u) << r.out;
        EXPECT_EQ(r.err, "oxl: error: cannot write to standard output; stopped\n");
    }
}

TEST(OxlTool, DemoWritesAWellFormedSvgWithTheFourSeries) {
    const TempDir dir;
    const auto r = oxl({"demo", "--output", "plot.svg"}, "", "", dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string path = dir.path + "/plot.svg";
    EXPECT_NE(r.out.find("written to " + fs::canonical(path).string()), npos) << r.out;
    // The impedance hold sags by load / stiffness = 0.2 under the load of +10.
    const auto loaded = line_with(r.out, "load +10");
    ASSERT_GE(loaded.size(), 4u) << r.out;
    ASSERT_EQ(loaded[2], "position") << r.out;
    EXPECT_NEAR(std::stod(loaded[3]), 0.8, 0.03);

    // Well-formed as an XML parser sees it.
    const auto parsed = shell(
        "python3 -c 'import sys, xml.dom.minidom; "
        "xml.dom.minidom.parse(sys.argv[1])' " +
        path + " 2>&1");
    EXPECT_TRUE(parsed.first) << parsed.second;
    const std::string svg = read_file(path);
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), npos);
    for (const std::string series : {"position", "speed", "torque", "setpoint"}) {
        SCOPED_TRACE(series);
        const auto at = svg.find("data-series=\"" + series + "\"");
        ASSERT_NE(at, npos);
        ASSERT_EQ(svg.compare(svg.rfind('<', at), 9, "<polyline"), 0);
        const auto points = svg.find("points=\"", at);
        ASSERT_LT(points, svg.find('>', at));
        const auto begin = points + 8;
        // A few hundred frames at 200 per second over about 4 s, each "x,y" with numbers.
        const auto pairs = words_of(svg.substr(begin, svg.find('"', begin) - begin));
        EXPECT_GE(pairs.size(), 300u);
        for (const auto& pair : pairs) {
            const auto xy = lines_of(pair, ',');
            ASSERT_TRUE(xy.size() == 2 && is_number(xy[0]) && is_number(xy[1])) << pair;
        }
        EXPECT_NE(svg.find(">" + series + "</text>"), npos);  // the legend names every series
    }

    // Cut short, the demo leaves no (empty) plot behind.
    const auto cut = oxl({"demo", "--output", "cut.svg"}, "", "3. Position step", dir.path);
    EXPECT_EQ(cut.status, 130) << cut.err;
    EXPECT_FALSE(fs::exists(dir.path + "/cut.svg"));

    const auto unwritable = oxl({"demo", "--output", dir.path + "/missing/dir/plot.svg"});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_NE(unwritable.err.find("cannot write"), npos) << unwritable.err;
    EXPECT_EQ(unwritable.out, "");
}

TEST(OxlTool, WithoutHardwareTheToolSaysSoAndSuggestsTheSimulatedBus) {
    const auto ports = oxl({"ports"});
    ASSERT_EQ(ports.status, 0) << ports.err;
    EXPECT_TRUE(ports.out.rfind("PORT", 0) == 0 || ports.out == "No serial ports found.\n")
        << ports.out;
    for (const auto& row : lines_of(ports.out)) {
        if (!words_of(row).empty() && words_of(row).back() == "yes") {
            GTEST_SKIP() << "an adapter is plugged in";
        }
    }
    EXPECT_NE(ports.err.find("--sim"), npos);
    const auto info = oxl({"info", "0x20"});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.err.find("no USB-to-CAN adapter found"), npos) << info.err;
    EXPECT_NE(info.err.find("--sim"), npos);
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
        {{"--sim", "names", "bogus"}, 2, "unknown list 'bogus'"},
        {{"--sim", "param", "get", "0x20", "LIMIT_TORQ"}, 2, "did you mean LIMIT_TORQUE"},
        {{"--sim", "param", "set", "0x20", "LIMIT_TORQUE=abc"}, 2, "is not a number"},
        {{"--sim", "param", "set", "0x20", "LIMIT_TORQUE"}, 2, "expected NAME=VALUE"},
        {{"--sim", "monitor", "0x20", "--items", "position_4c,bogus"}, 2, "unknown item 'bogus'"},
        {{"--sim", "monitor", "0x20", "--items", kElevenItems + ",errors"}, 2, "at most 11 items"},
        {{"--sim", "monitor", "0x20", "--rate", "20000"}, 2, "out of range"},
        {{"--sim", "monitor", "0x20", "--json", "--csv", "-"}, 2, "exclude each other"},
        {{"--sim", "move", "0x20", "--position", "1", "--speed", "2"}, 2, "exactly one"},
        {{"--sim", "move", "0x20", "--position", "1", "--stiffness", "2"}, 2, "--impedance"},
        {{"--sim-actuators", "0x20,0x5", "scan"}, 2, "out of range"},
        {{"--sim", "factory-reset", "0x20"}, 2, "--yes"},
        // Refused before the bus is opened: the id 0x55 answers nothing, yet the error is the
        // value's, so nothing was sent to any device.
        {{"--sim", "param", "set", "0x55", "MODE=99"}, 2, "MODE 99 is not a mode (5 TORQUE"},
        {{"--sim", "param", "set", "0x55", "SPEED_PERFORMANCE=4"},
         2,
         "out of range (0, 1, 2 or 3)"},
        {{"--sim", "param", "set", "0x55", "CAN_HIGH_SPEED=0.5"}, 2, "out of range (0 or 1)"},
        {{"--sim", "monitor", "0x20", "--duration", "0"}, 2, "more than 0 seconds"},
        {{"--sim", "move", "0x20", "--speed", "1", "--duration", "0"}, 2, "more than 0 seconds"},
        {{"--sim-actuators", "", "scan"}, 2, "--sim-actuators list is empty"},
        {{"--sim-errors", "0x22=1", "errors", "0x20"}, 2, "no simulated actuator at 0x22"},
        {{"--sim", "move", "0x20", "0x20", "--position", "1"}, 2, "0x20 is given twice"},
        {{"--sim", "move", "0x20", "--position", "1", "--sine", "1"}, 2, "AMPLITUDE,FREQUENCY"},
        {{"--sim", "move", "0x20", "--position", "1", "--ramp", "1", "--sine", "1,1"},
         2,
         "exclude each other"},
        {{"--sim", "errors", "0x20", "--duration", "1"}, 2, "--duration goes with --watch"},
        {{"--sim", "errors", "0x55"}, 1, "actuator 0x55 does not answer"},
        {{"--sim", "stop", "0x55"}, 1, "actuator 0x55 does not answer"},
        {{"--sim-actuators", "0x40", "stop", "all", "--to", "0x3f"}, 1, "no actuator answers"},
        {{"--sim", "set-address", "0x20", "0x21"}, 1, "0x21 is already taken"},
        {{"--port", "/nonexistent/ttyOXL", "info", "0x20"},
         1,
         "no serial port /nonexistent/ttyOXL"},
        {{"--port", "/dev/null", "info", "0x20"}, 1, "/dev/null is not a serial port"},
    };
    // -v adds the library's own lines, through its log hook, before the tool's one line.
    const auto verbose = oxl({"-v", "--port", "/dev/null", "info", "0x20"});
    EXPECT_EQ(verbose.status, 1);
    EXPECT_EQ(verbose.err.rfind("oxl: library error: ", 0), 0u) << verbose.err;
    EXPECT_NE(verbose.err.find("\noxl: error: /dev/null is not a serial port"), npos);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto r = oxl(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        // The tool's own message is the one line.
        const auto err = lines_of(r.err);
        ASSERT_EQ(err.size(), 1u) << r.err;
        EXPECT_EQ(err.back().rfind("oxl: error: ", 0), 0u) << r.err;
        EXPECT_NE(err.back().find(c.message), npos) << r.err;
        if (c.status == 2) {
            EXPECT_EQ(r.out, "");
        }
    }
}

// `text` as JSON, or a null document (and a failure) when it is not.
Json json_of(const std::string& text) {
    try {
        return Json::parse(text);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << "\n" << text;
        return Json();
    }
}

TEST(OxlTool, ConfigRestoreRefusesBadInputBeforeWritingAndClonesASetUp) {
    const TempDir dir;
    const auto file = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.path + "/" + name) << text;
        return dir.path + "/" + name;
    };
    // Each is refused with one line naming the key; the id 0x55 answers nothing, so a file that
    // reached the bus would fail with "does not answer" instead.
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"{\"parameters\": {\"LIMIT_TORQUE\": 2.5,}", "is not JSON: parse error at line 1"},
        {"[1, 2]", "expected a JSON object, got array"},
        {"{\"parameters\": {}, \"colour\": 1}", "unknown key 'colour'"},
        {"{\"parameters\": {\"LIMIT_TORQUE\": \"2.5\"}}",
         "parameters.LIMIT_TORQUE: expected a number or null, got string"},
        {"{\"parameters\": {\"LIMIT_TORQ\": 1}}", "parameters.LIMIT_TORQ: unknown parameter"},
        {"{\"parameters\": {\"MODE\": 99}}", "parameters.MODE: 99 is not a mode"},
        {"{\"parameters\": {\"PARAM_80\": -1}}", "parameters.PARAM_80: -1 is out of range"},
        {"{\"parameters\": {\"K_DAMP\": 1e39}}", "parameters.K_DAMP: 1e+39 is not a finite"},
        {"{\"parameters\": {\"ADDRESS\": 48}}", "parameters.ADDRESS: the address is not restored"},
        {"{\"model\": 3, \"parameters\": {}}", "model: expected a string, got number"},
        {"{\"oxl_config\": 1}", "no 'parameters' object"},
    };
    for (const auto& [text, message] : bad) {
        SCOPED_TRACE(text);
        const auto r = oxl({"--sim", "config", "restore", "0x55", file("bad.json", text)});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("oxl: error: " + dir.path + "/bad.json", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(message), npos) << r.err;
    }

    // On one bus: a dump of 0x20 after a change, a restore onto 0x21 (another model) refused
    // without --force and then done; the refused lines leave every value as it was.
    const std::string late_fault =
        file("late.json", "{\"parameters\": {\"LIMIT_TORQUE\": 7, \"K_STIFF\": 8, \"bogus\": 1}}");
    const auto r = oxl({"--sim", "batch", "--keep-going", "-"},
                       "param set 0x20 LIMIT_TORQUE=2.5 K_STIFF=30 MODE=impedance\n"
                       "config dump 0x20\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const Json dump = json_of(r.out.substr(r.out.find("{")));
    EXPECT_EQ(dump["oxl_config"], 1);
    EXPECT_EQ(dump["address"], 0x20);
    EXPECT_EQ(dump["model"], "ARVEN");
    EXPECT_EQ(dump["firmware"], "1.1.2");
    EXPECT_EQ(dump["parameters"].size(), 30u);  // all but ADDRESS
    EXPECT_EQ(dump["parameters"]["LIMIT_TORQUE"], 2.5);
    EXPECT_EQ(dump["parameters"]["MODE"], 8);
    EXPECT_TRUE(dump["parameters"]["K_DAMP"].is_null());  // no value on the device
    const std::string saved = file("arven.json", dump.dump(2));

    const auto clone =
        oxl({"--sim", "batch", "--keep-going", "-"},
            "config restore 0x21 " + saved + "\n" + "config restore 0x20 " + late_fault + "\n" +
                "param get 0x20 LIMIT_TORQUE K_STIFF\n"
                "param get 0x21 LIMIT_TORQUE K_STIFF MODE\n"
                "config restore 0x21 " +
                saved + " --force --save\n" + "param get 0x21 LIMIT_TORQUE K_STIFF MODE K_DAMP\n");
    EXPECT_EQ(clone.status, 2) << clone.err;
    EXPECT_EQ(lines_of(clone.err),
              (Lines{"oxl: error: line 1: " + saved +
                         " is from model ARVEN, actuator 0x21 is model BRISO; add --force to "
                         "restore it anyway",
                     "oxl: error: line 2: " + late_fault +
                         ": parameters.bogus: unknown parameter 'bogus' (`oxl names parameters` "
                         "lists them)"}));
    using Values = std::map<std::string, std::string>;
    EXPECT_EQ(parameter_values(section(clone.out, "param get 0x20 LIMIT_TORQUE K_STIFF")),
              (Values{{"LIMIT_TORQUE", "0"}, {"K_STIFF", "nan"}}));
    EXPECT_EQ(parameter_values(section(clone.out, "param get 0x21 LIMIT_TORQUE K_STIFF MODE")),
              (Values{{"LIMIT_TORQUE", "0"}, {"K_STIFF", "nan"}, {"MODE", "7"}}));
    const auto restored = section(clone.out, "config restore 0x21 " + saved + " --force --save");
    EXPECT_TRUE(has_line(restored, {"LIMIT_TORQUE", "0", "2.5", "2.5"})) << clone.out;
    EXPECT_NE(restored.find("every one read back as written"), npos);
    EXPECT_NE(restored.find("configuration saved in the device"), npos);
    EXPECT_EQ(
        parameter_values(section(clone.out, "param get 0x21 LIMIT_TORQUE K_STIFF MODE K_DAMP")),
        (Values{{"LIMIT_TORQUE", "2.5"}, {"K_STIFF", "30"}, {"MODE", "8"}, {"K_DAMP", "nan"}}));
}

TEST(OxlTool, ErrorsShowEveryBitExactlyAndWatchPrintsEachReport) {
    // 0x80000001 as a float is 0x80000000: bit 0 would be lost.
    const auto text = oxl({"--sim-errors", "0x20=0x80000001", "errors", "0x20"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("Actuator 0x20: error state 0x80000001"), npos) << text.out;
    EXPECT_TRUE(has_line(text.out, {"0", "Overtemperature", "no"})) << text.out;
    EXPECT_TRUE(has_line(text.out, {"31", "External", "encoder", "error", "yes"}));

    const auto json = oxl({"--sim-errors", "0x21=0x20000002", "errors", "0x21", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json_of(json.out),
              json_of(R"({"address": 33, "errors": "0x20000002", "value": 536870914, "bits": [
                  {"bit": 1, "name": null, "serious": false},
                  {"bit": 29, "name": "VBUS critical range", "serious": true}]})"));

    // Reports raised 0.5 s and 1 s after the bus opens (after the first read, which shows none),
    // one JSON object per line, each stamped in seconds since the watch began. Watched until the
    // second one is printed, then Ctrl-C.
    const auto watch =
        oxl({"--sim-errors", "0x20=0x10000@0.5,0x20=0x21@1", "errors", "0x20", "--watch", "--json"},
            "", "\"value\":33");
    ASSERT_EQ(watch.status, 0) << watch.err;
    const auto lines = lines_of(watch.out);
    ASSERT_EQ(lines.size(), 3u) << watch.out;
    EXPECT_EQ(json_of(lines[0])["value"], 0);
    EXPECT_EQ(json_of(lines[1])["value"], 0x10000);
    EXPECT_EQ(json_of(lines[2])["value"], 0x21);
    const double first = json_of(lines[1])["time"], second = json_of(lines[2])["time"];
    EXPECT_GT(first, 0.0);
    EXPECT_LT(first, second);
    EXPECT_LT(second, 90.0) << "not seconds";  // the run is killed after 90 s
    const auto plain =
        oxl({"--sim-errors", "0x20=0x10000@0.5", "errors", "0x20", "--watch"}, "", "0x00010000");
    const auto report = line_with(plain.out, "0x00010000");
    ASSERT_EQ(report.size(), 6u) << plain.out;
    EXPECT_TRUE(is_number(report[0])) << plain.out;
    EXPECT_EQ(Lines(report.begin() + 1, report.end()),
              (Lines{"0x00010000", "16", "Current", "maximum", "(serious)"}));
}

TEST(OxlTool, StopHomeQuietAndJsonOutput) {
    // 0x230 is in the second window of ids that `stop all` goes through.
    const auto r = oxl({"--sim-actuators", "0x20,0x21,0x230", "-q", "batch", "-"},
                       "move 0x20 --speed 2 --duration 0.3\n"
                       "home 0x20\n"
                       "stop all --to 0x240\n"
                       "stop 0x21\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("> "), npos);  // quiet: no echoes
    EXPECT_NE(r.out.find("Actuator 0x20: its present position is now home (position reads 0)."),
              npos)
        << r.out;
    EXPECT_NE(r.out.find("Actuator 0x20 (ARVEN) stopped.\nActuator 0x21 (BRISO) stopped.\n"
                         "Actuator 0x230 (CALDE) stopped.\n"),
              npos)
        << r.out;
    EXPECT_NE(r.out.find("Actuator 0x21 stopped.\n"), npos);

    const auto info = oxl({"--sim", "info", "0x20", "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    const Json document = json_of(info.out);
    EXPECT_EQ(document["model"], "ARVEN");
    EXPECT_EQ(document["state"]["VBUS"], 48);
    EXPECT_EQ(document["parameters"].size(), 31u);
    EXPECT_EQ(document["parameters"]["ADDRESS"], 32);
    EXPECT_TRUE(document["parameters"]["K_DAMP"].is_null());
    const auto get = oxl({"--sim", "param", "get", "0x21", "mode", "Limit_Torque", "--json"});
    EXPECT_EQ(json_of(get.out),
              json_of(R"({"address": 33, "parameters": {"MODE": 7, "LIMIT_TORQUE": 0}})"));
    const auto scan = oxl({"--sim", "-q", "scan", "--to", "0x30", "--json"});
    ASSERT_EQ(scan.status, 0);
    EXPECT_EQ(scan.err, "");  // quiet: no summary
    EXPECT_EQ(json_of(scan.out), json_of(R"([{"address": 32, "model": "ARVEN", "firmware": "1.1.2"},
                                         {"address": 33, "model": "BRISO", "firmware": "1.1.2"}])"));
}

TEST(OxlTool, MoveDrivesSeveralActuatorsAlongATrajectory) {
    const TempDir dir;
    const std::string csv = dir.path + "/setpoints.csv";
    std::ofstream(csv) << "time,Position\n# a triangle\n0,0\n0.5,1\n1.0,-1\n";
    struct Case {
        Lines args;  // after `--sim move`
        std::function<double(double)> setpoint;
        std::size_t ids;
    };
    const double pi = std::acos(-1.0);
    const std::vector<Case> cases = {
        {{"0x20", "0x21", "--position", "1", "--sine", "0.5,1", "--duration", "1"},
         [pi](double t) { return 1.0 + 0.5 * std::sin(2 * pi * t); },
         2},
        {{"0x21", "--position", "2", "--ramp", "1", "--duration", "1.3"},
         [](double t) { return 2.0 * std::min(t, 1.0); },
         1},
        {{"0x20", "0x21", "--setpoints", csv},
         [](double t) { return t < 0.5 ? 2 * t : 1 - 4 * (t - 0.5); },
         2},
        // Columns stay apart however large the values.
        {{"0x20", "--speed", "1e8", "--duration", "0.5"}, [](double) { return 1e8; }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Lines args{"--sim", "move", "--rate", "10"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = oxl(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, int> rows;
        for (const auto& line : lines_of(r.out)) {
            auto w = words_of(line);
            if (w.empty() || !is_number(w[0])) {
                continue;
            }
            ASSERT_EQ(w.size(), 4 + c.ids) << line;
            const std::string id = c.ids > 1 ? w[1] : "one";
            ++rows[id];
            // The setpoint column against the trajectory: setpoints go out every 10 ms, and a
            // loaded machine may deliver a frame late, so the frame's setpoint is one the
            // trajectory took during the 0.2 s before its arrival.
            const double t = std::stod(w[0]), setpoint = std::stod(w.back());
            double error = 1e300;
            for (double tau = t - 0.2; tau <= t + 0.01; tau += 0.001) {
                error = std::min(error, std::fabs(setpoint - c.setpoint(std::max(tau, 0.0))));
            }
            EXPECT_LT(error, 0.01 + 1e-6 * std::fabs(setpoint)) << line;
        }
        EXPECT_EQ(rows.size(), c.ids) << r.out;
        for (const auto& entry : rows) {
            EXPECT_GE(entry.second, 3) << entry.first;
        }
        EXPECT_EQ(count_of(r.out, "Final"), c.ids);
        EXPECT_NE(r.out.find(" stopped."), npos);
    }
}

TEST(OxlTool, CompletionAndManualPageFollowTheCommandDefinitions) {
    const TempDir dir;
    const auto script = oxl({"--generate-completion"});
    ASSERT_EQ(script.status, 0);
    std::ofstream(dir.path + "/oxl.bash") << script.out;
    // The words typed so far, the last being completed, and what bash offers.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"oxl con", "config"},
        {"oxl --sim config ", "dump restore"},
        {"oxl --port /dev/x param get 0x20 limit_t", "LIMIT_TORQUE"},
        {"oxl param set 0x20 K_S", "K_STIFF="},
        {"oxl monitor 0x20 --items POSITION_4C,SPEED_4", "POSITION_4C,SPEED_45"},
        {"oxl move 0x20 0x21 --dur", "--duration"},
        {"oxl monitor 0x20 0x21 --j", "--json"},
        {"oxl --verb", "--verbose"},
        {"oxl stop ", "all"},
        {"oxl names ", "items parameters"},
    };
    for (const auto& [typed, offered] : cases) {
        SCOPED_TRACE(typed);
        const std::string command = "bash -c 'source " + dir.path + "/oxl.bash; COMP_WORDS=(" +
                                    typed + (typed.back() == ' ' ? "\"\"" : "") +
                                    "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _oxl; echo "
                                    "\"${COMPREPLY[*]}\"'";
        EXPECT_EQ(shell(command), std::make_pair(true, offered + "\n"));
    }

    const auto man = oxl({"--generate-man"});
    ASSERT_EQ(man.status, 0);
    EXPECT_EQ(man.out.find(".TH OXL 1"), man.out.find('\n') + 1);
    const auto help = oxl({"--help"});
    // Every command and global option of --help has its place in the page.
    for (const std::string word :
         {"ports", "scan", "info", "param get", "param set", "config dump", "config restore",
          "stop", "home", "errors", "monitor", "move", "demo", "batch"}) {
        EXPECT_NE(help.out.find("  " + word.substr(0, word.find(' '))), npos) << word;
        EXPECT_NE(man.out.find(".SS " + word + "\n"), npos) << word;
    }
    EXPECT_NE(man.out.find("\\fB\\-\\-sim\\-errors\\fR \\fIERRORS\\fR"), npos);
    EXPECT_NE(man.out.find("\\fB\\-\\-keep\\-going\\fR"), npos);
}

TEST(OxlTool, TraceRecordsACommandThatDecodeShowsAndReplayRepeats) {
    const TempDir dir;
    const std::string log = dir.path + "/info.log";
    ASSERT_EQ(oxl({"--sim", "--trace", log, "info", "0x20"}).status, 0);
    const auto decoded = oxl({"decode", log, "--json"});
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    const Lines objects = lines_of(decoded.out);
    ASSERT_EQ(objects.size(), lines_of(read_file(log)).size());
    const auto ping = nlohmann::json::parse(objects.at(0));
    EXPECT_EQ(ping["direction"], "sent");
    EXPECT_EQ(ping["id"], 0x20);
    EXPECT_EQ(ping["name"], "ping");
    const auto identity = nlohmann::json::parse(objects.at(1));
    EXPECT_EQ(identity["direction"], "received");
    EXPECT_EQ(identity["reply"], true);
    EXPECT_EQ(identity["fields"]["firmware"], "1.1.2");
    EXPECT_EQ(nlohmann::json::parse(objects.back())["name"], "stop");

    const auto replayed = oxl({"replay", log});
    EXPECT_EQ(replayed.status, 0) << replayed.out << replayed.err;
    EXPECT_NE(replayed.out.find("answers as recorded"), npos) << replayed.out;
    // The same recording from a device that called itself another model.
    std::string text = read_file(log);
    const auto at = text.find("#8001004208");
    ASSERT_NE(at, npos);
    text.replace(at, 11, "#8003004208");
    std::ofstream(dir.path + "/other.log") << text;
    const auto differs = oxl({"replay", dir.path + "/other.log"});
    EXPECT_EQ(differs.status, 1);
    EXPECT_NE(differs.out.find("other.log:1: after ping to 0x20:\n"
                               "  recorded, not answered now: 10008020#8003004208\n"),
              npos)
        << differs.out;
    // Under the message it followed, unless the machine delayed it past later ones.
    EXPECT_NE(differs.out.find("  answered now, not recorded: 10008020#8001004208\n"), npos)
        << differs.out;

    // Any application records without code changes when OXL_API_TRACE names a file.
    const std::string env_log = dir.path + "/env.log";
    setenv("OXL_API_TRACE", env_log.c_str(), 1);
    const auto blink = oxl({"--sim", "blink", "0x20"});
    unsetenv("OXL_API_TRACE");
    ASSERT_EQ(blink.status, 0);
    const Lines env_lines = lines_of(read_file(env_log));
    ASSERT_EQ(env_lines.size(), 4u);  // ping, identity, blink, stop
    EXPECT_NE(env_lines[2].find(" oxl0 00004020#41"), npos) << env_lines[2];
}

TEST(OxlTool, DecodeShowsWhatEachMessageMeansAndRefusesBadLinesByNumber) {
    const TempDir dir;
    const std::string log = dir.path + "/known.log";
    std::ofstream(log)
        << "(10.000000) oxl0 00004020#0307\n"
           "(10.000100) oxl0 00004020##0130000C03F0000803F0000004000004040000080400000C07F\n"
           "\n"
           "(10.000200) oxl0 10000020#8201000100\n"
           "(10.000300) oxl0 10000020#450000C03F\n"
           "(10.000400) oxl0 10000020#7EAABB\n";
    const auto decoded = oxl({"decode", log});
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    const Lines lines = lines_of(decoded.out);
    ASSERT_EQ(lines.size(), 5u) << decoded.out;
    EXPECT_EQ(lines[0], "0.000000  sent  0x20  mode mode=POSITION");
    EXPECT_EQ(lines[1],
              "0.000100  sent  0x20  position_setpoint position=1.5 PARAM_45=1 PARAM_0E=2 "
              "PARAM_0D=3 PARAM_0F=4 T_FF=nan");
    EXPECT_EQ(
        lines[2].rfind("0.000200  recv  0x20  errors bits=0x00010001 errors=Overtemperature,", 0),
        0u)
        << lines[2];
    EXPECT_EQ(lines[3], "0.000300  recv  0x20  items SPEED_45=1.5");
    EXPECT_EQ(lines[4], "0.000400  recv  0x20  unknown raw=7eaabb");

    const struct {
        const char* content;
        const char* message;
    } bad[] = {
        {"\x7f"
         "ELF\x02\x01",
         "bad.log:1: not a candump log line"},
        {"(1.000000) oxl0 00004020#40\n(1.000001) oxl0 000040", "bad.log:2: no '#'"},
    };
    for (const auto& row : bad) {
        std::ofstream(dir.path + "/bad.log") << row.content;
        for (const std::string command : {"decode", "replay"}) {
            const auto run = oxl({command, dir.path + "/bad.log"});
            EXPECT_EQ(run.status, 2) << command << " " << row.message;
            EXPECT_EQ(run.out, "") << command;
            EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
            EXPECT_NE(run.err.find(row.message), npos) << run.err;
        }
    }
    EXPECT_EQ(oxl({"decode", dir.path + "/missing.log"}).status, 2);
    const auto unconfirmed = oxl({"--port", "/dev/null", "replay", log});
    EXPECT_EQ(unconfirmed.status, 2);
    EXPECT_NE(unconfirmed.err.find("add --yes"), npos) << unconfirmed.err;
}
}  // namespace
