#include "cli.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli_docs.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "names.hpp"
#include "output.hpp"
#include "session.hpp"
#ifdef OXL_TOOL_WITH_BRIDGE
#include "bridge/bridge_command.hpp"
#endif
#ifdef OXL_TOOL_WEB
#include "web/web_command.hpp"
#endif

namespace oxl_tool {
namespace {

constexpr const char* kIdHelp = "actuator address, 0x10..0x3ffe, hex (0x20) or decimal (32)";
constexpr const char* kJsonHelp = "print the result as one JSON document";

// An explicit --duration of 0 (or less) would read as "no time at all" but used to mean "until
// Ctrl-C"; leaving the option out says that.
const CLI::Validator kPositiveSeconds(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(value > 0.0)) {
            return "must be more than 0 seconds (leave it out to run until Ctrl-C)";
        }
        return "";
    },
    "", "positive seconds");

// What a parsed command line asks for: the values of every command's arguments (only those of
// the chosen command are filled in) and the registered actions by subcommand.
struct Invocation {
    ScanArgs scan;
    std::string id;
    bool json = false;
    std::string new_id;
    std::vector<std::string> words;  // parameter names, or NAME=VALUE assignments
    bool yes = false;
    std::string names_which;
    MonitorArgs monitor;
    MoveArgs move;
    DemoArgs demo;
    ConfigRestoreArgs restore;
    StopArgs stop;
    ErrorsArgs errors;
    std::string batch_file;
    bool keep_going = false;
    std::string log_file;  // decode, replay

    std::vector<std::pair<CLI::App*, std::function<int(Session&)>>> actions;

    void on(CLI::App* command, std::function<int(Session&)> action) {
        actions.emplace_back(command, std::move(action));
    }
    // The action of the subcommand that was given, or an empty function.
    std::function<int(Session&)> chosen() const {
        for (const auto& entry : actions) {
            if (entry.first->parsed()) {
                return entry.second;
            }
        }
        return {};
    }
};

// Adds the commands to `app`. Inside `oxl batch` (`in_batch`), `batch` and `demo` are left out:
// both need a bus of their own.
void add_commands(CLI::App& app, Invocation& inv, bool in_batch) {
    CLI::App* ports = app.add_subcommand("ports", "List serial ports with USB ids; mark adapters");
    inv.on(ports, [](Session&) { return run_ports(); });

    CLI::App* names = app.add_subcommand("names", "List the item and parameter names");
    names->add_option("LIST", inv.names_which, "items or parameters (default: both)")
        ->type_name("LIST");
    inv.on(names, [&inv](Session&) { return run_names(inv.names_which); });

    CLI::App* scan = app.add_subcommand("scan", "Find the actuators on the bus");
    scan->add_option("--from", inv.scan.from, "first id (default 0x10)")->type_name("ID");
    scan->add_option("--to", inv.scan.to, "last id (default 0x7f)")->type_name("ID");
    scan->add_flag("--all", inv.scan.all,
                   "whole range 0x10..0x3ffe (about 12 s; 14 minutes with --sequential)");
    scan->add_flag("--sequential", inv.scan.sequential,
                   "ping one id at a time and wait up to 50 ms for each");
    scan->add_flag("--json", inv.scan.json, "print the devices found as a JSON array");
    inv.on(scan, [&inv](Session& s) { return run_scan(s, inv.scan); });

    CLI::App* info = app.add_subcommand("info", "Identity, state and every parameter");
    info->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    info->add_flag("--json", inv.json, kJsonHelp);
    inv.on(info, [&inv](Session& s) { return run_info(s, inv.id, inv.json); });

    CLI::App* param = app.add_subcommand("param", "Read or write parameters");
    param->require_subcommand(1);
    CLI::App* get = param->add_subcommand("get", "Read parameters (all without names)");
    get->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    get->add_option("NAME", inv.words, "parameter names, e.g. LIMIT_TORQUE k_stiff")
        ->type_name("PARAMETER");
    get->add_flag("--json", inv.json, kJsonHelp);
    inv.on(get, [&inv](Session& s) { return run_param_get(s, inv.id, inv.words, inv.json); });
    CLI::App* set = param->add_subcommand(
        "set", "Write parameters, then read them back and show before and after");
    set->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    set->add_option("NAME=VALUE", inv.words, "e.g. LIMIT_TORQUE=2.5 MODE=position")
        ->required()
        ->type_name("PARAMETER=VALUE");

    CLI::App* config = app.add_subcommand(
        "config", "Every parameter of a device to or from a JSON file (clone a set-up)");
    config->require_subcommand(1);
    CLI::App* dump = config->add_subcommand(
        "dump", "Print every parameter with the model, firmware and address as JSON");
    dump->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    dump->add_flag("--json", inv.json, "accepted for uniformity: the output is JSON anyway");
    inv.on(dump, [&inv](Session& s) { return run_config_dump(s, inv.id); });
    CLI::App* restore = config->add_subcommand(
        "restore", "Check a file from `config dump`, write it, read every value back");
    restore->add_option("ID", inv.restore.id, kIdHelp)->required()->type_name("ID");
    restore->add_option("FILE", inv.restore.file, "JSON file written by `oxl config dump`")
        ->required()
        ->type_name("FILE");
    restore->add_flag("--save", inv.restore.save,
                      "store the configuration in the device once every value read back");
    restore->add_flag("--force", inv.restore.force, "restore onto a device of another model");
    inv.on(restore, [&inv](Session& s) { return run_config_restore(s, inv.restore); });
    inv.on(set, [&inv](Session& s) { return run_param_set(s, inv.id, inv.words); });

    CLI::App* save = app.add_subcommand("save", "Store the configuration in the device");
    save->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    inv.on(save, [&inv](Session& s) { return run_save(s, inv.id); });

    CLI::App* address = app.add_subcommand("set-address", "Move an actuator to a new address");
    address->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    address->add_option("NEW", inv.new_id, "new address, 0x10..0x3ffe")
        ->required()
        ->type_name("ID");
    inv.on(address, [&inv](Session& s) { return run_set_address(s, inv.id, inv.new_id); });

    CLI::App* blink = app.add_subcommand("blink", "Make an actuator blink");
    blink->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    inv.on(blink, [&inv](Session& s) { return run_blink(s, inv.id); });

    CLI::App* reset = app.add_subcommand("factory-reset", "Restore the factory parameters");
    reset->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    reset->add_flag("--yes", inv.yes, "confirm");
    inv.on(reset, [&inv](Session& s) { return run_factory_reset(s, inv.id, inv.yes); });

    CLI::App* stop = app.add_subcommand("stop", "Stop an actuator, or every one that answers");
    stop->add_option("ID", inv.stop.target, "actuator address, or all")
        ->required()
        ->type_name("ID|all");
    stop->add_option("--from", inv.stop.from, "with all: first id (default 0x10)")->type_name("ID");
    stop->add_option("--to", inv.stop.to, "with all: last id (default 0x3ffe)")->type_name("ID");
    inv.on(stop, [&inv](Session& s) { return run_stop(s, inv.stop); });

    CLI::App* home = app.add_subcommand("home", "Make the present position the home position");
    home->add_option("ID", inv.id, kIdHelp)->required()->type_name("ID");
    inv.on(home, [&inv](Session& s) { return run_home(s, inv.id); });

    CLI::App* errors = app.add_subcommand(
        "errors", "Error state as hexadecimal bits with names; --watch waits for error reports");
    errors->add_option("ID", inv.errors.id, kIdHelp)->required()->type_name("ID");
    errors->add_flag("--watch", inv.errors.watch, "then print each error report until Ctrl-C");
    CLI::Option* errors_duration =
        errors->add_option("--duration", inv.errors.duration_s, "with --watch: seconds to watch")
            ->type_name("SECONDS")
            ->check(kPositiveSeconds);
    errors->add_flag("--json", inv.errors.json,
                     kJsonHelp + std::string(" (with --watch, one per line)"));
    inv.on(errors, [&inv, errors_duration](Session& s) {
        inv.errors.duration_given = errors_duration->count() > 0;
        return run_errors(s, inv.errors);
    });

    CLI::App* monitor = app.add_subcommand("monitor", "Stream feedback as a live table or CSV");
    monitor->add_option("ID", inv.monitor.ids, "actuator addresses; several are streamed together")
        ->required()
        ->type_name("ID");
    monitor
        ->add_option("--items", inv.monitor.items,
                     "comma-separated items, at most 11 (default POSITION_4C,SPEED_45,"
                     "TORQUE_56; `oxl names items`)")
        ->type_name("ITEMS");
    monitor->add_option("--rate", inv.monitor.rate_hz, "frames per second, 1..10000 (default 10)");
    monitor->add_option("--duration", inv.monitor.duration_s, "seconds (default: until Ctrl-C)")
        ->type_name("SECONDS")
        ->check(kPositiveSeconds);
    monitor
        ->add_option("--csv", inv.monitor.csv,
                     "write CSV, a row per frame with address, sequence and time columns, to FILE "
                     "(- : stdout)")
        ->type_name("FILE");
    monitor->add_flag("--json", inv.monitor.json, "print one JSON object per frame, one per line");
    inv.on(monitor, [&inv](Session& s) { return run_monitor(s, inv.monitor); });

    CLI::App* move = app.add_subcommand("move",
                                        "Drive actuators on a setpoint or trajectory, report "
                                        "feedback, stop at the end or on Ctrl-C");
    move->add_option("ID", inv.move.ids, "actuator addresses; several are driven together")
        ->required()
        ->type_name("ID");
    CLI::Option* position = move->add_option("--position", inv.move.position, "position setpoint");
    CLI::Option* speed = move->add_option("--speed", inv.move.speed, "speed setpoint");
    CLI::Option* torque = move->add_option("--torque", inv.move.torque, "torque setpoint");
    CLI::Option* impedance =
        move->add_option("--impedance", inv.move.impedance, "impedance (spring) position setpoint");
    CLI::Option* stiffness =
        move->add_option("--stiffness", inv.move.stiffness, "impedance stiffness (K_STIFF)");
    CLI::Option* damping =
        move->add_option("--damping", inv.move.damping, "impedance damping (K_DAMP)");
    move->add_option("--sine", inv.move.sine,
                     "oscillate about the setpoint: AMPLITUDE,FREQUENCY in Hz (e.g. 0.5,1)")
        ->type_name("A,F");
    CLI::Option* ramp =
        move->add_option("--ramp", inv.move.ramp_s,
                         "reach the setpoint linearly in SECONDS (from the present position, or "
                         "from 0 for speed and torque)")
            ->type_name("SECONDS");
    move->add_option("--setpoints", inv.move.setpoints,
                     "CSV file: header time,MODE (position, speed, torque or impedance), then "
                     "rows time,setpoint; followed linearly, to the last row")
        ->type_name("FILE");
    move->add_option("--duration", inv.move.duration_s, "seconds (default: until Ctrl-C)")
        ->type_name("SECONDS")
        ->check(kPositiveSeconds);
    move->add_option("--rate", inv.move.rate_hz, "rows printed per second, 1..100 (default 10)");
    inv.on(move, [&inv, position, speed, torque, impedance, stiffness, damping, ramp](Session& s) {
        inv.move.has_position = position->count() > 0;
        inv.move.has_speed = speed->count() > 0;
        inv.move.has_torque = torque->count() > 0;
        inv.move.has_impedance = impedance->count() > 0;
        inv.move.has_stiffness = stiffness->count() > 0;
        inv.move.has_damping = damping->count() > 0;
        inv.move.has_ramp = ramp->count() > 0;
        return run_move(s, inv.move);
    });

    CLI::App* decode = app.add_subcommand(
        "decode", "Print a candump log (--trace, OXL_API_TRACE) as the protocol means it");
    decode->add_option("FILE", inv.log_file, "candump log")->required()->type_name("FILE");
    decode->add_flag("--json", inv.json, "one JSON object per message");
    inv.on(decode, [&inv](Session&) { return run_decode(inv.log_file, inv.json); });
    CLI::App* replay = app.add_subcommand(
        "replay",
        "Send a log's host messages again with their timing; compare the answers "
        "(simulated bus unless --port and --yes are given)");
    replay->add_option("FILE", inv.log_file, "candump log")->required()->type_name("FILE");
    replay->add_flag("--yes", inv.yes, "with --port: confirm (the replay moves motors)");
    inv.on(replay, [&inv](Session& s) { return run_replay(s, inv.log_file); });

    if (!in_batch) {
#ifdef OXL_TOOL_WITH_BRIDGE
        add_bridge_command(app, [&inv](CLI::App* c, std::function<int(Session&)> action) {
            inv.on(c, std::move(action));
        });
#endif
        CLI::App* demo = app.add_subcommand(
            "demo", "Guided run with an SVG plot (on the simulated bus unless --port is given)");
        demo->add_option("--output,-o", inv.demo.output,
                         "SVG file (default oxl_demo.svg in the current folder)")
            ->type_name("FILE");
        demo->add_option("--id", inv.demo.id, "actuator to use (default: the first one found)")
            ->type_name("ID");
        inv.on(demo, [&inv](Session& s) { return run_demo(s, inv.demo); });

        CLI::App* batch = app.add_subcommand(
            "batch", "Run the commands of FILE (- : standard input), one per line, on one bus");
        batch->add_option("FILE", inv.batch_file, "command file, or - for standard input")
            ->required()
            ->type_name("FILE");
        batch->add_flag("--keep-going", inv.keep_going,
                        "run every line; exit with the status of the first that failed");
#ifdef OXL_TOOL_WEB
        add_web_command(app, [&inv](CLI::App* command, std::function<int(Session&)> action) {
            inv.on(command, std::move(action));
        });
#endif
    }

    for (CLI::App* command : app.get_subcommands({})) {
        for (CLI::App* inner : command->get_subcommands({})) {
            inner->allow_extras(false);
        }
        command->allow_extras(false);
    }
    // Extras left over at the top level are an unknown command or a stray argument; they are
    // reported after parsing, by name.
    app.allow_extras(true);
}

// The one-line message of a parse error.
int report_parse_error(const CLI::ParseError& error) {
    std::cerr << "oxl: error: " << error.what() << " (see oxl --help)" << std::endl;
    return kExitUsage;
}

// The message of a command line with leftovers: an unknown command or a stray argument.
void check_leftovers(const CLI::App& app) {
    const auto left = app.remaining();
    if (left.empty()) {
        return;
    }
    if (app.get_subcommands().empty()) {
        throw UsageError("unknown command '" + left.front() + "' (see oxl --help)");
    }
    throw UsageError("unexpected argument '" + left.front() + "'");
}

// Runs `action` and turns its exceptions into the exit status, with one line on stderr.
int guarded(const std::function<int()>& action, const std::string& context) {
    try {
        return action();
    } catch (const OutputFailed& e) {
        std::cerr << "oxl: error: " << context << e.what() << std::endl;
        return kExitOutput;
    } catch (const UsageError& e) {
        std::cerr << "oxl: error: " << context << e.what() << std::endl;
        return kExitUsage;
    } catch (const std::exception& e) {  // DeviceError and whatever the library throws
        std::cerr << "oxl: error: " << context << e.what() << std::endl;
        return kExitDevice;
    }
}

// `oxl batch`: each line is a command without the global options, run on `session`; blank lines
// and lines starting with # are skipped. Stops at the first command that fails, or with
// `keep_going` runs every line and returns the status of the first that failed.
int run_batch(Session& session, const std::string& file, bool keep_going) {
    std::ifstream input;
    if (file != "-") {
        input.open(file);
        if (!input) {
            throw UsageError("cannot read " + file);
        }
    }
    std::istream& in = file == "-" ? std::cin : input;
    std::string line;
    int number = 0;
    int first_failure = kExitOk;
    while (std::getline(in, line)) {
        ++number;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        if (interrupted()) {
            return kExitInterrupted;
        }
        if (!quiet()) {
            std::cout << "> " << line.substr(first) << std::endl;
        }
        CLI::App app{"oxl batch command", "oxl"};
        Invocation inv;
        add_commands(app, inv, true);
        const std::string context = "line " + std::to_string(number) + ": ";
        try {
            app.parse(line, false);
        } catch (const CLI::CallForHelp&) {
            std::cout << app.help();
            continue;
        } catch (const CLI::ParseError& e) {
            std::cerr << "oxl: error: " << context << e.what() << std::endl;
            if (!keep_going) {
                return kExitUsage;
            }
            first_failure = first_failure == kExitOk ? kExitUsage : first_failure;
            continue;
        }
        const int status = guarded(
            [&] {
                check_leftovers(app);
                const auto action = inv.chosen();
                if (!action) {
                    throw UsageError("no command");
                }
                const int status = action(session);
                throw_if_output_failed();
                return status;
            },
            context);
        if (status != kExitOk && !keep_going) {
            return status;
        }
        first_failure = first_failure == kExitOk ? status : first_failure;
    }
    return first_failure;
}

}  // namespace

int run_command_line(int argc, char** argv) {
    CLI::App app{
        "oxl: scan, inspect, configure, monitor and move actuators on the CAN bus, through the "
        "USB-to-CAN adapter or on a simulated bus (--sim).",
        "oxl"};
    app.set_version_flag("--version", "oxl 0.1.0");

    BusOptions bus;
    std::string sim_actuators;
    std::string sim_errors;
    bool quiet_flag = false;
    bool generate_completion = false;
    bool generate_man = false;
    app.add_option("--port", bus.port, "serial port of the adapter (default: found by USB id)")
        ->type_name("PATH");
    app.add_flag("--sim", bus.simulated, "use a simulated bus");
    CLI::Option* sim_actuators_option =
        app.add_option(
               "--sim-actuators", sim_actuators,
               "simulated actuator addresses, comma-separated (default 0x20,0x21); implies --sim")
            ->type_name("IDS");
    CLI::Option* sim_errors_option =
        app.add_option("--sim-errors", sim_errors,
                       "simulated actuators raise error bits: ID=BITS or ID=BITS@SECONDS, "
                       "comma-separated (e.g. 0x20=0x10000@1); implies --sim")
            ->type_name("ERRORS");
    app.add_option("--trace", bus.trace_file,
                   "record every message sent and received to FILE as a candump log")
        ->type_name("FILE");
    bool verbose_flag = false;
    CLI::Option* quiet_option =
        app.add_flag("-q,--quiet", quiet_flag,
                     "print results and errors only: no progress, summaries, hints or echoes");
    app.add_flag("-v,--verbose", verbose_flag,
                 "also print the library's own lines (time-outs, adapter lost, error reports) on "
                 "standard error")
        ->excludes(quiet_option);
    // Hidden: the build writes the bash completion and the manual page with these, from the
    // very definitions that --help prints.
    app.add_flag("--generate-completion", generate_completion)->group("");
    app.add_flag("--generate-man", generate_man)->group("");
    Invocation inv;
    add_commands(app, inv, false);
    // Set after the commands were added, which would otherwise inherit it.
    app.footer(
        "Ids are written in hex (0x20) or decimal (32); names of items and parameters are\n"
        "case-insensitive (`oxl names`). Exit status: 0 ok, 1 a device did not answer,\n"
        "2 bad input, 3 standard output closed, 130 interrupted.\n\n"
        "Examples:\n"
        "  oxl --sim scan\n"
        "  oxl --sim info 0x20\n"
        "  oxl --port /dev/ttyACM0 monitor 0x20 0x21 --rate 100 --duration 5 --csv run.csv\n"
        "  oxl --sim move 0x20 0x21 --position 1 --sine 0.5,1 --duration 3\n"
        "  oxl --sim config dump 0x20 > actuator.json\n"
        "  oxl demo");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return report_parse_error(e);
    }
    if (generate_completion || generate_man) {
        std::cout << (generate_completion ? bash_completion(app) : man_page(app));
        return kExitOk;
    }
    set_quiet(quiet_flag);
    route_library_lines(verbose_flag);

    return guarded(
        [&] {
            check_leftovers(app);
            if (sim_actuators_option->count() > 0) {
                bus.sim_actuators = parse_actuator_id_list(sim_actuators, "--sim-actuators");
                bus.simulated = true;
            }
            if (sim_errors_option->count() > 0) {
                bus.sim_errors = parse_sim_errors(sim_errors);
                for (const auto& error : bus.sim_errors) {
                    const auto& ids = bus.sim_actuators;
                    if (std::find(ids.begin(), ids.end(), error.address) == ids.end()) {
                        throw UsageError("--sim-errors: there is no simulated actuator at " +
                                         hex_id(error.address));
                    }
                }
                bus.simulated = true;
            }
            if (bus.simulated && !bus.port.empty()) {
                throw UsageError("--port and --sim exclude each other");
            }
            CLI::App* demo = app.get_subcommand("demo");
            if (demo->parsed() && bus.port.empty()) {
                bus.simulated = true;  // the demo needs no hardware
            }
            CLI::App* replay = app.get_subcommand("replay");
            if (replay->parsed() && !bus.simulated) {
                if (bus.port.empty()) {
                    bus.simulated = true;  // an adapter only when named
                } else if (!inv.yes) {
                    throw UsageError("replay on an adapter moves motors: add --yes to confirm");
                }
            }
            Session session(bus);
            CLI::App* batch = app.get_subcommand("batch");
            if (batch->parsed()) {
                return run_batch(session, inv.batch_file, inv.keep_going);
            }
            const auto action = inv.chosen();
            if (!action) {
                std::cout << app.help();
                throw UsageError("a command is required");
            }
            const int status = action(session);
            throw_if_output_failed();
            return status;
        },
        "");
}

}  // namespace oxl_tool
