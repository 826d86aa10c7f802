// SPDX-License-Identifier: MIT
// nimbet: a command-line tool for trying a network of nodes: listen, send frames, move files.
//
// Every command opens one library socket. Unless --local/--dest say
// otherwise, that socket broadcasts on every local interface: run the tool
// only on a network where that is welcome. Every loop ends by itself after
// --seconds (or its own bounded retries), or at Ctrl-C.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>
#include <unistd.h>

#include "commands.h"
#ifdef NIMBET_WITH_BRIDGE
#include "bridge.h"
#endif

#ifndef NIMBET_VERSION
#define NIMBET_VERSION "unknown"
#endif

using namespace nimbet_tool;

namespace {

// The tool's own options (the shared node options are in node_options).
constexpr OptionDoc kToolOptionDocs[] = {
    {"--to", "ID", "address the frame or file to node ID"},
    {"--acked", "", "wait for the addressed node's acknowledgement (needs --to)"},
    {"--from", "ID", "accept the transfer of node ID only"},
    {"--type", "T", "3-letter type of the data tuples (default fil)"},
    {"--count", "N", "stop after N frames"},
    {"--pcap", "FILE", "also write every datagram seen to FILE as a pcap capture ('-': standard output)"},
    {"--progress", "", "show the progress line even when standard error is not a terminal"},
    {"--no-progress", "", "never show the progress line"},
    {"--keep-partial", "", "keep every byte received in OUTFILE (or write it to '-') when the transfer breaks off"},
    {"--no-clobber", "", "refuse to overwrite an existing OUTFILE or --pcap FILE (exit status 1)"},
};

struct Command {
    std::string_view name;
    std::string_view synopsis;     // after "nimbet "
    std::string_view summary;      // one line for the list of commands
    std::string_view description;  // paragraph of the command's --help
    std::size_t positionals;       // exact count of arguments after the command
    std::vector<std::string_view> options;
    int (*run)(const CommandLine &);
    bool filters;                  // its help explains --filter
};

const std::vector<Command> &commands()
{
    static const std::vector<Command> kCommands = {
        {"interfaces", "interfaces", "list local interfaces and the addresses frames go to",
         "Lists this host's IPv4 interfaces and, for each, the address that frames sent with the default\n"
         "destinations go to.\n",
         0, {"--json"}, cmd_interfaces, false},
        {"describe", "describe PORT", "open a socket with the options and print its settings",
         "Opens a socket as the other commands would, prints its settings and closes it.\n", 1,
         {"--id", "--local", "--dest", "--bind", "--retry", "--timeout"}, cmd_describe, false},
        {"listen", "listen PORT", "receive frames, print one line each, acknowledge requests",
         "Receives frames on PORT until --seconds (default 30) or --count frames, prints one line per\n"
         "frame (or one JSON object with --json), and acknowledges the requests addressed to this node.\n",
         1,
         {"--id", "--local", "--dest", "--bind", "--seconds", "--count", "--all", "--filter", "--or", "--json", "--pcap", "--no-clobber",
          "-v"},
         cmd_listen, true},
        {"send", "send PORT TYPE TEXT", "send one frame with a tuple of type TYPE holding TEXT",
         "Sends one frame holding a tuple of type TYPE with the bytes of TEXT, to everybody, or addressed\n"
         "to one node with --to, and with --acked waits for that node's acknowledgement (exit status 3\n"
         "when none comes after every retry).\n",
         3, {"--id", "--local", "--dest", "--bind", "--to", "--acked", "--retry", "--timeout", "--json", "-v"}, cmd_send, false},
        {"send-file", "send-file PORT FILE --to ID", "send a file as a fragmented, acknowledged transfer",
         "Sends FILE ('-': standard input) to node ID as a fragmented transfer of acknowledged parts of\n"
         "45 bytes, up to --window of them in flight, within --seconds (default 60). A file may hold up to\n"
         "4 GiB.\n",
         2,
         {"--id", "--local", "--dest", "--bind", "--to", "--type", "--retry", "--timeout", "--window", "--seconds",
          "--progress", "--no-progress", "--json", "-v"},
         cmd_send_file, false},
        {"recv-file", "recv-file PORT OUTFILE", "receive one fragmented transfer into OUTFILE",
         "Waits up to --seconds (default 60) for one fragmented transfer and writes it to OUTFILE ('-':\n"
         "standard output). OUTFILE must be writable before a transfer is accepted; the parts go to\n"
         "OUTFILE.part, renamed to OUTFILE once the whole file is there and checked (an existing OUTFILE\n"
         "is overwritten then, unless --no-clobber refused it at the start). Without --from the first\n"
         "transfer whose first part passes the --filter expressions is taken; others are dropped. When\n"
         "the run ends without the whole file (the sender gone, the time limit, Ctrl-C), what was\n"
         "written is removed, or with --keep-partial every byte received is kept in OUTFILE (written to\n"
         "standard output for '-'). A file may hold up to 4 GiB.\n",
         2,
         {"--id", "--local", "--dest", "--bind", "--from", "--retry", "--timeout", "--window", "--seconds", "--filter", "--or",
          "--progress", "--no-progress", "--keep-partial", "--no-clobber", "--json", "-v"},
         cmd_recv_file, true},
    };
    return kCommands;
}

const char kExitHelp[] =
    "exit status:\n"
    "  0    done\n"
    "  1    failure (I/O, system, a transfer that broke off)\n"
    "  2    mistake on the command line\n"
    "  3    not acknowledged: no answer after every retry, or a transfer aborted for lack of\n"
    "       acknowledgements\n"
    "  4    the time limit (--seconds) was reached first\n"
    "  130  interrupted (Ctrl-C)\n";

const Command *find_command(std::string_view name)
{
    for (const Command &c : commands())
        if (c.name == name)
            return &c;
    return nullptr;
}

const OptionDoc *find_doc(std::string_view name)
{
    for (const OptionDoc &d : node_option_docs())
        if (d.name == name || (name == "-v" && d.name.substr(0, 2) == "-v"))
            return &d;
    for (const OptionDoc &d : kToolOptionDocs)
        if (d.name == name)
            return &d;
    return nullptr;
}

void print_option(const OptionDoc &d)
{
    std::string left = std::string(d.name) + (d.value.empty() ? "" : " " + std::string(d.value));
    std::printf("  %-16s %s\n", left.c_str(), std::string(d.text).c_str());
}

void print_help()
{
    std::printf("usage: nimbet COMMAND [OPTIONS] [ARGS]\n"
                "       nimbet COMMAND --help | nimbet --version\n"
                "\nTry a network of nodes: listen to frames, send them, move files.\n\ncommands:\n");
    for (const Command &c : commands())
        std::printf("  %-30s %s\n", std::string(c.synopsis).c_str(), std::string(c.summary).c_str());
#ifdef NIMBET_WITH_BRIDGE
    std::printf("  %-30s %s\n", "bridge PORT --mqtt HOST[:PORT]", "gateway to an MQTT broker (nimbet bridge --help)");
#else
    std::printf("  %-30s %s\n", "bridge PORT --mqtt HOST[:PORT]", "gateway to an MQTT broker (not in this build)");
#endif
    std::printf("\noptions (each command takes those its --help lists):\n");
    for (const OptionDoc &d : node_option_docs())
        print_option(d);
    for (const OptionDoc &d : kToolOptionDocs)
        print_option(d);
    std::printf("  %-16s %s\n", "--", "end of options: what follows is an argument even if it starts with '-'");
    std::printf("\n%s\n%s", kFilterHelp, kExitHelp);
    std::printf("\nOn a host whose only interface is loopback, frames go to 127.255.255.255, which every node\n"
                "on the host hears; give each node its own --id.\n"
                "\nWith --json every line is one JSON object whose \"event\" member names it; `man nimbet` lists\n"
                "them, and the JSON Schema tool-events.schema.json (installed under share/nimbet/schemas)\n"
                "describes each.\n");
}

void print_command_help(const Command &c)
{
    std::printf("usage: nimbet %s [OPTIONS]\n\n%s\noptions:\n", std::string(c.synopsis).c_str(),
                std::string(c.description).c_str());
    for (std::string_view name : c.options)
        if (const OptionDoc *d = find_doc(name))
            print_option(*d);
    std::printf("  %-16s %s\n", "-h, --help", "this help");
    if (c.filters)
        std::printf("\n%s", kFilterHelp);
    std::printf("\n%s", kExitHelp);
}

bool tool_option_takes_value(std::string_view name)
{
    return name == "--to" || name == "--from" || name == "--type" || name == "--count" || name == "--pcap";
}

bool is_tool_option(std::string_view name)
{
    for (const OptionDoc &d : kToolOptionDocs)
        if (d.name == name)
            return true;
    return false;
}

// The option as a command's list names it: -vv and --verbose are -v.
std::string_view listed_name(std::string_view name)
{
    return name == "-vv" || name == "--verbose" ? "-v" : name;
}

struct Parsed {
    CommandLine line;
    std::vector<std::string> given;  // options as typed, for the check against the command
    bool help = false, version = false;
};

// The value of tool option `name` at argv[i]: the one given with '=', else
// the next argument (i moves past it); an option that takes none refuses one.
std::string tool_option_value(int argc, char **argv, int &i, const std::string &name, const std::string &value,
                              bool has_value)
{
    if (tool_option_takes_value(name) && !has_value) {
        if (i + 1 >= argc)
            throw UsageError(name + " needs a value");
        return argv[++i];
    }
    if (!tool_option_takes_value(name) && has_value)
        throw UsageError(name + " takes no value");
    return value;
}

// Checks a tool option's value and sets it in c.
void set_tool_option(CommandLine &c, const std::string &name, const std::string &value)
{
    if (name == "--to" || name == "--from") {
        unsigned char id[8];
        parse_id(value, name, id);
        (name == "--to" ? c.to : c.from) = value;
    } else if (name == "--type") {
        check_type(value, "--type");
        c.type = value;
    } else if (name == "--count") {
        c.count = parse_number(value, "--count", 1, 1000000000);
    } else if (name == "--pcap") {
        if (value.empty())
            throw UsageError("--pcap needs a file name");
        c.pcap = value;
    } else if (name == "--acked") {
        c.acked = true;
    } else if (name == "--progress") {
        c.progress = 1;
    } else if (name == "--no-progress") {
        c.progress = 0;
    } else if (name == "--keep-partial") {
        c.keep_partial = true;
    } else if (name == "--no-clobber") {
        c.no_clobber = true;
    }
}

// Reads the command line into p; the command is known as soon as it has
// been read, so that a mistake after it can point at its help.
void parse(int argc, char **argv, Parsed &p)
{
    CommandLine &c = p.line;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string name, value;
        bool has_value = false;
        if (options_done || !split_option(arg, name, value, has_value)) {
            if (c.command.empty())
                c.command = arg;
            else
                c.args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (name == "-h" || name == "--help") {
            p.help = true;
            continue;
        }
        if (name == "--version") {
            p.version = true;
            continue;
        }
        const int before = i;
        if (take_node_option(c.node, argc, argv, i)) {
            p.given.push_back(name);
            continue;
        }
        i = before;
        if (!is_tool_option(name))
            throw UsageError("unknown option " + name);
        p.given.push_back(name);
        set_tool_option(c, name, tool_option_value(argc, argv, i, name, value, has_value));
    }
}

int run(int argc, char **argv, std::string &hint)
{
    Parsed p;
    CommandLine &c = p.line;
    // A mistake points at the help of the command when there is one, and
    // at the tool's help otherwise.
    try {
        parse(argc, argv, p);
    } catch (const UsageError &) {
        if (find_command(c.command) != nullptr)
            hint = "nimbet " + c.command + " --help";
        throw;
    }
    const Command *command = c.command.empty() ? nullptr : find_command(c.command);
    if (command != nullptr)
        hint = "nimbet " + c.command + " --help";
    if (p.version) {
        std::printf("nimbet %s\n", NIMBET_VERSION);
        return kExitDone;
    }
    if (p.help) {
        if (command != nullptr)
            print_command_help(*command);
        else
            print_help();
        return kExitDone;
    }
    if (c.command.empty())
        throw UsageError("no command");
    if (command == nullptr)
        throw UsageError("unknown command " + c.command);
    for (const std::string &name : p.given) {
        const std::string_view listed = listed_name(name);
        if (std::find(command->options.begin(), command->options.end(), listed) == command->options.end())
            throw UsageError(name + " is not an option of " + c.command);
    }
    if (c.args.size() < command->positionals)
        throw UsageError(std::string("missing arguments: nimbet ") + std::string(command->synopsis));
    if (c.args.size() > command->positionals)
        throw UsageError("unexpected argument '" + c.args[command->positionals] + "' after nimbet " +
                         std::string(command->synopsis));
    if (c.node.filter_or && c.node.filters.size() < 2)
        throw UsageError("--or joins two or more --filter expressions");

    catch_interrupts();
    return command->run(c);
}

}  // namespace

int main(int argc, char **argv)
{
    // The gateway parses options of its own.
    if (argc > 1 && std::string_view(argv[1]) == "bridge") {
#ifdef NIMBET_WITH_BRIDGE
        std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
        return nimbet::bridge::run(argc - 1, argv + 1);
#else
        std::fprintf(stderr, "nimbet: this build has no bridge (it needs libmosquitto and nlohmann/json)\n");
        return kExitFailure;
#endif
    }
    std::string hint = "nimbet --help";
    try {
        return run(argc, argv, hint);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "nimbet: %s\nTry '%s'.\n", e.what(), hint.c_str());
        return kExitUsage;
    } catch (const Failure &e) {
        std::fprintf(stderr, "nimbet: %s\n", e.what());
        return e.status;
    }
}
