#include "cli_docs.hpp"

#include <CLI/CLI.hpp>

#include <sstream>
#include <vector>

#include "names.hpp"

namespace oxl_tool {
namespace {

// Options shown to the user: hidden ones (empty group) and CLI11's help are left out of the
// lists; --help is added by hand where wanted.
std::vector<const CLI::Option*> visible_options(const CLI::App& app) {
    std::vector<const CLI::Option*> out;
    for (const CLI::Option* option : app.get_options()) {
        if (!option->get_group().empty()) {
            out.push_back(option);
        }
    }
    return out;
}

// The type name of an option without the validator description CLI11 appends after ':'.
std::string kind_of(const CLI::Option* option) {
    const std::string type = option->get_type_name();
    return type.substr(0, type.find(':'));
}

bool is_flag(const CLI::Option* option) {
    return option->get_items_expected_max() == 0;
}

bool repeats(const CLI::Option* option) {
    return option->get_items_expected_max() > 1;
}

std::vector<std::string> long_and_short_names(const CLI::Option* option) {
    std::vector<std::string> names;
    for (const auto& name : option->get_lnames()) {
        names.push_back("--" + name);
    }
    for (const auto& name : option->get_snames()) {
        names.push_back("-" + name);
    }
    return names;
}

std::vector<const CLI::App*> commands_of(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App*) { return true; });
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

// One `case` arm of the completion tables for the command at `path`.
void completion_tables(const CLI::App& command, const std::string& path, std::ostream& out) {
    std::vector<std::string> subs, options{"--help"}, valued, positional;
    for (const CLI::App* sub : commands_of(command)) {
        subs.push_back(sub->get_name());
    }
    for (const CLI::Option* option : visible_options(command)) {
        if (option->get_positional() && !option->nonpositional()) {
            positional.push_back(kind_of(option) + (repeats(option) ? "..." : ""));
            continue;
        }
        for (const auto& name : long_and_short_names(option)) {
            if (name == "--help" || name == "-h") {
                continue;
            }
            options.push_back(name);
            if (!is_flag(option)) {
                valued.push_back(name + "=" + kind_of(option));
            }
        }
    }
    out << "        \"" << path << "\") subs=\"" << joined(subs) << "\"; opts=\"" << joined(options)
        << "\"; valued=\"" << joined(valued) << "\"; positional=\"" << joined(positional)
        << "\" ;;\n";
    for (const CLI::App* sub : commands_of(command)) {
        completion_tables(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
    }
}

// Escapes text for roff: backslashes, and a leading dot or quote that would start a request.
std::string roff(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) {
        out.insert(0, "\\&");
    }
    return out;
}

std::string synopsis_of(const CLI::App& command, const std::string& path) {
    std::string text = "\\fBoxl\\fR [\\fIOPTIONS\\fR] \\fB" + roff(path) + "\\fR";
    for (const CLI::Option* option : visible_options(command)) {
        if (option->get_positional() && !option->nonpositional()) {
            const std::string name =
                "\\fI" + roff(option->get_name()) + "\\fR" + (repeats(option) ? "..." : "");
            text += option->get_required() ? " " + name : " [" + name + "]";
        }
    }
    if (!commands_of(command).empty()) {
        text += " \\fICOMMAND\\fR";
    }
    return text;
}

void describe_options(const CLI::App& command, std::ostream& out) {
    for (const CLI::Option* option : visible_options(command)) {
        if (option->get_positional() && !option->nonpositional()) {
            out << ".TP\n\\fI" << roff(option->get_name()) << "\\fR\n"
                << roff(option->get_description()) << "\n";
            continue;
        }
        std::string names;
        for (const auto& name : long_and_short_names(option)) {
            names += (names.empty() ? "" : ", ") + ("\\fB" + roff(name) + "\\fR");
        }
        if (names.find("help") != std::string::npos) {
            continue;
        }
        out << ".TP\n"
            << names << (is_flag(option) ? "" : " \\fI" + roff(kind_of(option)) + "\\fR") << "\n"
            << roff(option->get_description()) << "\n";
    }
}

void describe_commands(const CLI::App& command, const std::string& path, std::ostream& out) {
    for (const CLI::App* sub : commands_of(command)) {
        const std::string sub_path = path.empty() ? sub->get_name() : path + " " + sub->get_name();
        if (commands_of(*sub).empty()) {
            out << ".SS " << roff(sub_path) << "\n"
                << synopsis_of(*sub, sub_path) << "\n.PP\n"
                << roff(sub->get_description()) << "\n";
            describe_options(*sub, out);
        } else {
            describe_commands(*sub, sub_path, out);
        }
    }
}

}  // namespace

std::string bash_completion(const CLI::App& app) {
    std::ostringstream out;
    std::vector<std::string> items, parameters;
    for (const auto& entry : all_items()) {
        items.push_back(entry.second);
    }
    for (const auto& entry : all_parameters()) {
        parameters.push_back(entry.second);
    }
    out << "# bash completion for oxl; generated by `oxl --generate-completion`, do not edit.\n"
        << "_oxl_tables() {\n"
        << "    subs=\"\" opts=\"\" valued=\"\" positional=\"\"\n"
        << "    case \"$1\" in\n";
    completion_tables(app, "", out);
    out << "    esac\n"
        << "}\n\n"
        << "# Completes the current word as a value of kind $1.\n"
        << "_oxl_values() {\n"
        << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\"\n"
        << "    local items=\"" << joined(items) << "\"\n"
        << "    local parameters=\"" << joined(parameters) << "\"\n"
        << "    case \"$1\" in\n"
        << "        ITEMS)\n"
        << "            # A comma-separated list: complete the name after the last comma.\n"
        << "            local head=\"\" tail=\"$cur\"\n"
        << "            if [[ \"$cur\" == *,* ]]; then head=\"${cur%,*},\"; tail=\"${cur##*,}\"; "
           "fi\n"
        << "            COMPREPLY=($(compgen -P \"$head\" -W \"$items\" -- \"${tail^^}\"))\n"
        << "            compopt -o nospace 2>/dev/null ;;\n"
        << "        PARAMETER*)\n"
        << "            if [[ \"$1\" == *=* ]]; then\n"
        << "                COMPREPLY=($(compgen -S = -W \"$parameters\" -- \"${cur^^}\"))\n"
        << "                compopt -o nospace 2>/dev/null\n"
        << "            else\n"
        << "                COMPREPLY=($(compgen -W \"$parameters\" -- \"${cur^^}\"))\n"
        << "            fi ;;\n"
        << "        LIST) COMPREPLY=($(compgen -W \"items parameters\" -- \"$cur\")) ;;\n"
        << "        ID\\|all) COMPREPLY=($(compgen -W \"all\" -- \"$cur\")) ;;\n"
        << "        FILE|PATH) COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
        << "        *) COMPREPLY=() ;;\n"
        << "    esac\n"
        << "}\n\n"
        << "_oxl() {\n"
        << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" path=\"\" count=0 i word skip=\"\"\n"
        << "    local subs opts valued positional entry\n"
        << "    _oxl_tables \"\"\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        word=\"${COMP_WORDS[i]}\"\n"
        << "        if [[ -n \"$skip\" ]]; then skip=\"\"; continue; fi\n"
        << "        for entry in $valued; do\n"
        << "            [[ \"${entry%%=*}\" == \"$word\" ]] && skip=1\n"
        << "        done\n"
        << "        [[ -n \"$skip\" || \"$word\" == -* ]] && continue\n"
        << "        if [[ \" $subs \" == *\" $word \"* ]]; then\n"
        << "            path=\"${path:+$path }$word\"; count=0; _oxl_tables \"$path\"\n"
        << "        else\n"
        << "            count=$((count + 1))\n"
        << "        fi\n"
        << "    done\n"
        << "    if [[ -n \"$skip\" ]]; then\n"
        << "        for entry in $valued; do\n"
        << "            if [[ \"${entry%%=*}\" == \"${COMP_WORDS[COMP_CWORD - 1]}\" ]]; then\n"
        << "                _oxl_values \"${entry#*=}\"; return\n"
        << "            fi\n"
        << "        done\n"
        << "    fi\n"
        << "    if [[ \"$cur\" == -* ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\")); return\n"
        << "    fi\n"
        << "    if [[ -n \"$subs\" ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"$subs\" -- \"$cur\")); return\n"
        << "    fi\n"
        << "    # The positional argument at this place; a repeated one (KIND...) takes the rest.\n"
        << "    local kinds=($positional) kind=\"\"\n"
        << "    for ((i = 0; i < ${#kinds[@]}; i++)); do\n"
        << "        kind=\"${kinds[i]}\"\n"
        << "        [[ $i -ge $count || \"$kind\" == *... ]] && break\n"
        << "        kind=\"\"\n"
        << "    done\n"
        << "    _oxl_values \"${kind%...}\"\n"
        << "}\n"
        << "complete -F _oxl oxl\n";
    return out.str();
}

std::string man_page(const CLI::App& app) {
    std::ostringstream out;
    out << ".\\\" Generated by `oxl --generate-man` from the definitions behind `oxl --help`.\n"
        << ".TH OXL 1 \"\" \"oxl\" \"User Commands\"\n"
        << ".SH NAME\n"
        << "oxl \\- scan, inspect, configure, monitor and move smart CAN actuators\n"
        << ".SH SYNOPSIS\n"
        << "\\fBoxl\\fR [\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR...]\n"
        << ".SH DESCRIPTION\n"
        << roff(app.get_description()) << "\n"
        << ".SH OPTIONS\n";
    describe_options(app, out);
    out << ".SH COMMANDS\n";
    describe_commands(app, "", out);
    out << ".SH NOTES\n.nf\n";
    std::istringstream footer(app.get_footer());
    for (std::string line; std::getline(footer, line);) {
        out << roff(line) << "\n";
    }
    out << ".fi\n";
    return out.str();
}

}  // namespace oxl_tool
