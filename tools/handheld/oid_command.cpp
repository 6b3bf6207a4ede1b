// handheld oid: information requests to the driver of a running handheld through its management
// channel, with the answer's status, byte counts and bytes, decoded where they have a reading.
#include <iostream>

#include "commands.h"
#include "mgmt_client.h"
#include "oid_decode.h"
#include "oid_names.h"

namespace teskel::handheld {
namespace {

struct OidOptions {
  std::string direction;  // query, set or list
  std::optional<std::uint32_t> oid;
  std::vector<std::uint8_t> bytes;
  std::optional<std::uint32_t> length;
  std::string adapter;
  bool json = false;
};

void printOidHelp() {
  std::cout << "Usage: handheld [--root DIR] oid query OID [HEXBYTES] [--length N] [--adapter NAME] [--json]\n"
               "       handheld [--root DIR] oid set OID [HEXBYTES] [--adapter NAME] [--json]\n"
               "       handheld [--root DIR] oid list [--json]\n"
               "\n"
               "Asks the driver of the handheld running on the root folder an information request, as the\n"
               "network stack or a management tool would, and prints the status by name and number,\n"
               "BytesWritten (query) or BytesRead (set), BytesNeeded, the bytes in hex and what they say.\n"
               "OID is a name from `handheld oid list` or a number (decimal or 0x hex). HEXBYTES fill the\n"
               "start of the information buffer (blanks and colons between bytes are allowed); a query's\n"
               "buffer is --length bytes long (default 65535, at most 65535), the rest zero.\n"
               "Exit status 0 on NDIS_STATUS_SUCCESS, 1 on any other status, 2 when no handheld runs on\n"
               "the root folder or the command is wrong.\n"
               "\n"
               "Options:\n"
               "  --length N      the query's buffer length\n"
               "  --adapter NAME  the adapter instance (default: the first one running)\n"
               "  --json          print one JSON object\n"
               "\n"
               "What the private OIDs take in HEXBYTES (query; set):\n";
  for (const auto &info : oidTable()) {
    const PrivateInput *input = privateInput(info.oid);
    if (!input) continue;
    std::cout << "  " << info.name << "\n"
              << "    query: " << input->query << "\n"
              << "    set:   " << input->set << "\n";
  }
}

std::uint32_t parseLength(const std::string &text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError("--length takes a number of bytes, not " + argText(text));
  unsigned long long n = std::stoull(text);
  if (n > mgmt::kMaxInformationBuffer)
    throw UsageError("--length " + argText(text) + " is over " + std::to_string(mgmt::kMaxInformationBuffer) + " bytes");
  return static_cast<std::uint32_t>(n);
}

// nullopt for --help.
std::optional<OidOptions> parse(const std::vector<std::string> &args) {
  OidOptions o;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    auto value = [&](const std::string &option) {
      if (arg.size() > option.size() && arg.compare(0, option.size() + 1, option + "=") == 0)
        return arg.substr(option.size() + 1);
      if (i + 1 == args.size()) throw UsageError(option + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") return std::nullopt;
    if (arg == "--json") {
      o.json = true;
    } else if (arg == "--length" || arg.starts_with("--length=")) {
      o.length = parseLength(value("--length"));
    } else if (arg == "--adapter" || arg.starts_with("--adapter=")) {
      o.adapter = value("--adapter");
      if (o.adapter.empty()) throw UsageError("--adapter needs an instance name");
      if (o.adapter.size() > mgmt::kMaxText) throw UsageError("--adapter " + argText(o.adapter) + " is no instance name");
    } else if (arg.starts_with("--")) {
      throw UsageError("oid: unknown option " + argText(arg));
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) throw UsageError("oid needs query, set or list");
  o.direction = words[0];
  if (o.direction == "list") {
    if (words.size() > 1) throw UsageError("oid list: unexpected argument " + argText(words[1]));
    if (o.length || !o.adapter.empty()) throw UsageError("oid list takes no --length or --adapter");
    return o;
  }
  if (o.direction != "query" && o.direction != "set")
    throw UsageError("oid: unknown request " + argText(o.direction) + ": query, set or list");
  if (words.size() < 2) throw UsageError("oid " + o.direction + " needs an OID");
  if (words.size() > 3) throw UsageError("oid " + o.direction + ": unexpected argument " + argText(words[3]));
  o.oid = parseOid(words[1]);
  if (!o.oid) throw UsageError("unknown OID " + argText(words[1]) + ": handheld oid list shows the names");
  if (words.size() == 3) {
    try {
      o.bytes = parseHex(words[2]);
    } catch (const std::invalid_argument &e) {
      throw UsageError("HEXBYTES " + argText(words[2]) + ": " + e.what());
    }
  }
  if (o.direction == "set" && o.length) throw UsageError("oid set takes its length from HEXBYTES, not --length");
  if (o.bytes.size() > mgmt::kMaxInformationBuffer)
    throw UsageError("HEXBYTES hold " + std::to_string(o.bytes.size()) + " bytes, over " +
                     std::to_string(mgmt::kMaxInformationBuffer));
  if (o.length && o.bytes.size() > *o.length)
    throw UsageError("HEXBYTES hold " + std::to_string(o.bytes.size()) + " bytes, more than --length " + std::to_string(*o.length));
  return o;
}

int list(bool json) {
  if (json) {
    std::string out = "{\"oids\":[";
    bool first = true;
    for (const auto &info : oidTable()) {
      out += std::string(first ? "" : ",") + "{\"oid\":" + jsonString(hex32(info.oid)) + ",\"name\":" + jsonString(info.name) +
             ",\"timesListed\":" + (listedTwice(info.oid) ? "2" : "1") + "}";
      first = false;
    }
    out += "],\"mibAttributes\":[";
    first = true;
    for (const auto &a : mibTable()) {
      out += std::string(first ? "" : ",") + "{\"id\":" + jsonString(hex32(a.id)) + ",\"name\":" + jsonString(a.name) + "}";
      first = false;
    }
    std::cout << out << "]}\n";
    return 0;
  }
  std::size_t entries = 0;
  for (const auto &info : oidTable()) entries += listedTwice(info.oid) ? 2 : 1;
  std::cout << "The driver's OID_GEN_SUPPORTED_LIST: " << entries << " entries, " << oidTable().size()
            << " OIDs (some are listed twice):\n";
  for (const auto &info : oidTable())
    std::cout << hex32(info.oid) << "  " << info.name << (listedTwice(info.oid) ? "  (listed twice)" : "") << "\n";
  std::cout << "\nMIB attributes of OID_PRIV_MIB_RECORD:\n";
  for (const auto &a : mibTable()) std::cout << hex32(a.id) << "  " << a.name << "\n";
  return 0;
}

void printAnswer(const OidOptions &o, const mgmt::InformationAnswer &a) {
  const OidInfo *info = findOid(*o.oid);
  const bool query = o.direction == "query";
  const char *done = query ? "BytesWritten" : "BytesRead";
  Fields decoded;
  if (query && a.status == 0 && info) decoded = decode(info->reading, a.bytes);
  if (o.json) {
    std::cout << "{\"adapter\":" << jsonString(a.adapter) << ",\"request\":" << jsonString(o.direction)
              << ",\"oid\":" << jsonString(hex32(*o.oid)) << ",\"name\":" << jsonString(info ? info->name : "")
              << ",\"status\":" << jsonString(statusName(a.status)) << ",\"statusCode\":" << a.status << ",\""
              << (query ? "bytesWritten" : "bytesRead") << "\":" << a.bytesDone << ",\"bytesNeeded\":" << a.bytesNeeded;
    if (query) std::cout << ",\"bytes\":" << jsonString(hexBytes(a.bytes, "")) << ",\"decoded\":" << jsonFields(decoded);
    else std::cout << ",\"bufferAfter\":" << jsonString(hexBytes(a.bytes, ""));
    std::cout << "}\n";
    return;
  }
  std::cout << a.adapter << ": " << o.direction << " " << (info ? std::string(info->name) + " " : "") << "("
            << hex32(*o.oid) << ")\n"
            << "status: " << describeStatus(a.status) << "\n"
            << done << ": " << a.bytesDone << "\n"
            << "BytesNeeded: " << a.bytesNeeded << "\n";
  if (!query) {
    // A set whose driver wrote into the buffer (a command's status and responses) shows it.
    if (!a.bytes.empty() && a.bytes != o.bytes) std::cout << "buffer after the set: " << hexBytes(a.bytes) << "\n";
    return;
  }
  if (a.bytes.size() <= 16) {
    std::cout << "bytes:" << (a.bytes.empty() ? "" : " " + hexBytes(a.bytes)) << "\n";
  } else {
    std::cout << "bytes:\n";
    printHexDump(std::cout, a.bytes, 2);
  }
  printFields(std::cout, decoded);
}

// A private request the driver refused may have wanted other bytes: say which.
void printHint(const OidOptions &o, const mgmt::InformationAnswer &a) {
  const PrivateInput *input = privateInput(*o.oid);
  if (a.status == 0 || !input || o.json) return;
  const OidInfo *info = findOid(*o.oid);
  std::cout << "input: " << (info ? info->name : hex32(*o.oid).c_str()) << " " << o.direction << " takes "
            << (o.direction == "query" ? input->query : input->set) << "\n";
}

}  // namespace

int oidCommand(Context &context, const std::vector<std::string> &args) {
  auto options = parse(args);
  if (!options) {
    printOidHelp();
    return 0;
  }
  if (options->direction == "list") return list(options->json);

  mgmt::Request request;
  if (options->direction == "query")
    request = mgmt::QueryRequest{options->adapter, *options->oid, options->length.value_or(mgmt::kMaxInformationBuffer), options->bytes};
  else
    request = mgmt::SetRequest{options->adapter, *options->oid, options->bytes};
  mgmt::Client client(context.runningRoot());
  mgmt::Answer answer = client.exchange(request);
  if (auto *error = std::get_if<mgmt::ErrorAnswer>(&answer)) {
    std::cerr << "handheld: oid " << options->direction << ": " << error->message << "\n";
    return 1;
  }
  auto *information = std::get_if<mgmt::InformationAnswer>(&answer);
  if (!information) throw std::runtime_error("the handheld answered an information request with something else");
  printAnswer(*options, *information);
  printHint(*options, *information);
  return information->status == 0 ? 0 : 1;
}

}  // namespace teskel::handheld
