// SPDX-License-Identifier: MIT
// The options every nimbet command that runs a node shares: parsing, the node's socket, the filter chain.
//
// A command collects its options with take_node_option (which knows the
// shared ones) and its own parser for the rest, then opens its socket with
// open_node and, when --filter was given, its chain with build_filter.
// Mistakes on the command line throw UsageError, failures to set the node up
// throw Failure; the program's main turns both into a message and an exit
// status.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "nimbet/nimbet.h"

namespace nimbet_tool {

// Exit statuses of the tool, documented in its --help.
enum ExitStatus : int {
    kExitDone = 0,
    kExitFailure = 1,      // I/O or system failure
    kExitUsage = 2,        // mistake on the command line
    kExitNotAcked = 3,     // no acknowledgement after every retry; transfer aborted for lack of them
    kExitTimeLimit = 4,    // --seconds ran out first
    kExitInterrupted = 130 // Ctrl-C
};

// A mistake on the command line (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure with the exit status it stands for.
struct Failure : std::runtime_error {
    Failure(int status, const std::string &what) : std::runtime_error(what), status(status) {}
    int status;
};

struct NodeOptions {
    std::string id;              // --id: 8 numbers, or a.b.c.d for 1.1.1.1.a.b.c.d
    std::string local;           // --local: an IPv4 address of this host
    std::string dest;            // --dest: the one address frames go to
    std::string bind;            // --bind: the one address the socket receives on and sends from
    int retry = -1;              // --retry: transmissions of an acknowledged frame (1..255)
    int timeout = -1;            // --timeout: milliseconds to wait for each acknowledgement
    int window = -1;             // --window: parts of a transfer in flight (0..128; the library's default when < 0)
    double seconds = -1;         // --seconds: run time limit (the command's default when < 0)
    std::vector<std::string> filters;  // --filter expressions, in order
    bool filter_or = false;      // --or: a frame passes when any expression holds
    bool all = false;            // --all: also frames addressed to other nodes
    bool json = false;           // --json: JSON lines on standard output
    int verbose = 0;             // -v 1, -vv 2
};

// One line of option help: name, value placeholder (empty for a switch), text.
struct OptionDoc {
    std::string_view name;
    std::string_view value;
    std::string_view text;
};

// Help of the shared options, in the order they are best listed.
std::span<const OptionDoc> node_option_docs();

// Help of the --filter expressions, with examples (several lines).
extern const char kFilterHelp[];

// Splits argv[i] into an option name and, for "--name=value", its value.
// Returns false for arguments that are not options ("-" and anything that
// does not start with '-').
bool split_option(std::string_view arg, std::string &name, std::string &value, bool &has_value);

// When argv[i] is a shared option, stores it and returns true; a value comes
// from "--name=value" or from argv[i + 1] (i then moves past it). Throws
// UsageError for a missing or bad value.
bool take_node_option(NodeOptions &o, int argc, char **argv, int &i);

// Argument checks; each throws UsageError naming `what` on a bad value.
long parse_number(const std::string &text, const std::string &what, long lo, long hi);
void parse_id(const std::string &text, const std::string &what, unsigned char out[8]);
uint32_t parse_ipv4(const std::string &text, const std::string &what);  // network byte order
uint16_t parse_port(const std::string &text);
// A type name: 3 characters of the type alphabet (letters, digits, "-/ @").
void check_type(const std::string &name, const std::string &what);

// Opens the node's socket with the options: identifier, local address,
// destination, retry and timeout. With `bind` the socket is bound to PORT at
// once (so that it hears answers to what it sends first) and left
// non-blocking. On a host whose only interface is loopback the default
// destination is 127.255.255.255, which every node on the host hears.
// Returns the descriptor (the caller closes it); throws UsageError for a
// --local that is not this host's, Failure for a port in use or a
// destination without a route.
int open_node(const NodeOptions &o, uint16_t port, bool bind);

// The chain of the --filter expressions: ANDed, or ORed with --or. Returns
// the chain id (the caller destroys it), or 0 when there are none. Throws
// UsageError for a bad expression.
int build_filter(const NodeOptions &o);

// The library error of the last failed call, as text: "message (number)".
std::string library_error();

}  // namespace nimbet_tool
