// korvexd: serves one directory to korvex clients. Flags, signals, start-up.
#include <arpa/inet.h>
#include <getopt.h>
#include <malloc.h>
#include <netdb.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "file_ops.h"
#include "log.h"
#include "root.h"
#include "server.h"
#include "tool_docs.h"
#include "protocol.h"

namespace {

using korvexd::Resolver;

enum OptionId {
  kRoot = 1, kPassword, kListen, kName, kPowerExits, kIoTimeout, kIdleTimeout, kMaxConnections, kResolver, kHelp,
  kPasswordFile, kAllowChown, kLoginTimeout, kMaxPending, kLoginDelay, kLoginDelayMax, kLoginQuiet, kGenerate,
  kVersion, kCapacity
};

// Every option, as --help lists it: getopt's table, the usage text, the man
// page and the completion scripts are all made from this one list.
struct Flag {
  const char* name;
  const char* argument;  // nullptr: takes none
  OptionId id;
  const char* help;  // a '\n' starts a continuation line of the usage text
};
constexpr Flag kFlags[] = {
    {"root", "DIR", kRoot, "directory served as the phone's file system"},
    {"password-file", "FILE", kPasswordFile,
     "password clients must send: the file's first line (at most 255 bytes)"},
    {"password", "PW", kPassword,
     "the same on the command line, where other local users can read it;\n"
     "without either, the KORVEXD_PASSWORD environment variable"},
    {"listen", "HOST:PORT", kListen,
     "IPv4 address or host name to listen on (default 127.0.0.1:2323;\n"
     "localhost:PORT as the client takes it; port 0 picks one)"},
    {"name", "NAME", kName, "device name sent at login (default: the host name)"},
    {"power-exits", nullptr, kPowerExits, "shutdown/reboot/restart commands stop the service"},
    {"allow-chown", nullptr, kAllowChown, "serve CHOWN even when running as root (refused as root otherwise)"},
    {"login-timeout-ms", "N", kLoginTimeout,
     "the whole login block must arrive within N ms of the accept (default 10000)"},
    {"max-pending-logins", "N", kMaxPending,
     "connections not yet logged in; past it the oldest is dropped (default 64)"},
    {"login-delay-ms", "N", kLoginDelay,
     "a failed login delays its address's next answer N ms, doubling with\n"
     "each further failure; 0 for none (default 250)"},
    {"login-delay-max-ms", "N", kLoginDelayMax, "the longest such delay (default 8000)"},
    {"login-quiet-ms", "N", kLoginQuiet, "failures are forgotten after N ms without one (default 60000)"},
    {"io-timeout-ms", "N", kIoTimeout, "longest stall inside a login, request or transfer (default 10000)"},
    {"idle-timeout-ms", "N", kIdleTimeout, "longest silence between two commands, 0 for none (default 120000)"},
    {"max-connections", "N", kMaxConnections, "logged-in connections served at once (default 4096)"},
    {"capacity-kib", "N", kCapacity,
     "the root acts as a volume of N KiB, a phone with little room (for tests\n"
     "and demos): free space is what its files leave, a larger upload is refused"},
    {"resolver", "KIND", kResolver, "path resolution: auto, openat2 or walk (default auto)"},
    {"help", nullptr, kHelp, "print this text and exit"},
    {"version", nullptr, kVersion, "print the version and exit"},
};

std::string usage() {
  std::string text = "usage: korvexd --root DIR (--password-file FILE | --password PW) [options]\n";
  constexpr std::size_t kHelpColumn = 27;
  for (const Flag& flag : kFlags) {
    std::string line = std::string("  --") + flag.name + (flag.argument ? std::string(" ") + flag.argument : "");
    line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
    for (const char* c = flag.help; *c; ++c) line += *c == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, *c);
    text += line + "\n";
  }
  return text;
}

const char* flagName(int id) {
  for (const Flag& flag : kFlags)
    if (flag.id == id) return flag.name;
  return "?";
}

// The man page and completion scripts, from the same list.
korvex::docs::Page manPage() {
  korvex::docs::Page page;
  page.version = KORVEXD_VERSION;
  page.program.name = "korvexd";
  page.program.description = "serve a directory to korvex clients as a phone's file service";
  page.description =
      "korvexd serves the directory given by --root over TCP as a phone's file service, to clients that log in "
      "with its password. It prints its address on the first line of its output, and stops on SIGINT or SIGTERM.";
  for (const Flag& flag : kFlags) {
    std::string help = flag.help;
    std::replace(help.begin(), help.end(), '\n', ' ');
    page.program.options.push_back({{std::string("--") + flag.name}, flag.argument ? flag.argument : "", help, {},
                                    flag.id == kResolver ? std::vector<std::string>{"auto", "openat2", "walk"}
                                                         : std::vector<std::string>{}});
  }
  page.environment = {{"KORVEXD_PASSWORD", "the password, when neither --password-file nor --password is given"}};
  page.exitStatus = {{"0", "stopped by SIGINT or SIGTERM"},
                     {"1", "the root cannot be served or the address not listened on"},
                     {"2", "usage: a bad option or value, or no usable password"}};
  return page;
}

struct Options {
  std::string root;
  std::string password;
  bool havePassword = false;
  std::string passwordFile;
  bool allowChown = false;
  long loginTimeoutMs = 10000;
  long maxPendingLogins = 64;
  long loginDelayMs = 250;
  long loginDelayMaxMs = 8000;
  long loginQuietMs = 60000;
  std::string listen = "127.0.0.1:" + std::to_string(korvex::protocol::SERVICE_PORT);
  std::string name;
  bool powerExits = false;
  long ioTimeoutMs = 10000;
  long idleTimeoutMs = 120000;
  long maxConnections = 4096;
  long capacityKiB = -1;  // -1: the file system's own space
  Resolver resolver = Resolver::Auto;
};

bool parseNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno || end == text || *end || value < low || value > high) return false;
  out = value;
  return true;
}

bool parseListen(const std::string& text, sockaddr_in& address) {
  std::size_t colon = text.rfind(':');
  long port = 0;
  if (colon == std::string::npos || !parseNumber(text.c_str() + colon + 1, 0, 65535, port)) return false;
  address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const std::string host = text.substr(0, colon);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return true;
  // A name, such as localhost: its first IPv4 address.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// The first line of `path`, without its line end; false after saying why.
bool readPasswordFile(const std::string& path, std::string& password) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (!file) {
    std::fprintf(stderr, "korvexd: cannot read the password file %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  password.clear();
  // Read a byte past the longest password, so one too long is told apart.
  for (int c; password.size() <= korvex::protocol::MAX_PASSWORD_LENGTH && (c = std::fgetc(file)) != EOF && c != '\n';)
    password += static_cast<char>(c);
  std::fclose(file);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// Empty to run, otherwise the exit code.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
  static const std::vector<option> longOptions = [] {
    std::vector<option> table;
    for (const Flag& flag : kFlags) table.push_back({flag.name, flag.argument ? required_argument : no_argument, nullptr, flag.id});
    table.push_back({"generate", required_argument, nullptr, kGenerate});  // hidden from --help
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
  }();
  for (;;) {
    int option = getopt_long(argc, argv, "", longOptions.data(), nullptr);
    if (option == -1) break;
    bool good = true;
    switch (option) {
      case kRoot: options.root = optarg; break;
      case kPassword:
        options.password = optarg;
        options.havePassword = true;
        break;
      case kListen: options.listen = optarg; break;
      case kName: options.name = optarg; break;
      case kPowerExits: options.powerExits = true; break;
      case kIoTimeout: good = parseNumber(optarg, 1, INT_MAX, options.ioTimeoutMs); break;
      case kIdleTimeout: good = parseNumber(optarg, 0, INT_MAX, options.idleTimeoutMs); break;
      case kMaxConnections: good = parseNumber(optarg, 1, INT_MAX, options.maxConnections); break;
      case kCapacity: good = parseNumber(optarg, 0, INT_MAX, options.capacityKiB); break;
      case kResolver:
        if (!std::strcmp(optarg, "auto")) options.resolver = Resolver::Auto;
        else if (!std::strcmp(optarg, "openat2")) options.resolver = Resolver::Openat2;
        else if (!std::strcmp(optarg, "walk")) options.resolver = Resolver::Walk;
        else good = false;
        break;
      case kPasswordFile: options.passwordFile = optarg; break;
      case kAllowChown: options.allowChown = true; break;
      case kLoginTimeout: good = parseNumber(optarg, 1, INT_MAX, options.loginTimeoutMs); break;
      case kMaxPending: good = parseNumber(optarg, 1, INT_MAX, options.maxPendingLogins); break;
      case kLoginDelay: good = parseNumber(optarg, 0, INT_MAX, options.loginDelayMs); break;
      case kLoginDelayMax: good = parseNumber(optarg, 0, INT_MAX, options.loginDelayMaxMs); break;
      case kLoginQuiet: good = parseNumber(optarg, 0, INT_MAX, options.loginQuietMs); break;
      case kHelp: std::fputs(usage().c_str(), stdout); return EXIT_SUCCESS;
      case kVersion: std::printf("korvexd %s\n", KORVEXD_VERSION); return EXIT_SUCCESS;
      case kGenerate:
        if (const std::optional<std::string> text = korvex::docs::render(manPage(), optarg)) {
          std::fputs(text->c_str(), stdout);
          return EXIT_SUCCESS;
        }
        std::fprintf(stderr, "korvexd: --generate: the kinds are %s\n", korvex::docs::kKinds);
        return 2;
      default: std::fputs(usage().c_str(), stderr); return 2;  // getopt named the problem
    }
    if (!good) {
      std::fprintf(stderr, "korvexd: bad value for --%s\n%s", flagName(option), usage().c_str());
      return 2;
    }
  }
  if (optind < argc || options.root.empty()) {
    std::fputs(usage().c_str(), stderr);
    return 2;
  }
  if (options.havePassword && !options.passwordFile.empty()) {
    std::fputs("korvexd: give --password or --password-file, not both\n", stderr);
    return 2;
  }
  if (!options.passwordFile.empty()) {
    if (!readPasswordFile(options.passwordFile, options.password)) return 2;
  } else if (options.havePassword) {
    std::fputs("korvexd: warning: a --password on the command line can be read by other local users "
               "(ps); prefer --password-file or KORVEXD_PASSWORD\n",
               stderr);
  } else if (const char* fromEnvironment = std::getenv("KORVEXD_PASSWORD")) {
    options.password = fromEnvironment;
  } else {
    std::fputs("korvexd: no password: give --password-file FILE, set KORVEXD_PASSWORD, or give --password\n",
               stderr);
    return 2;
  }
  if (options.password.size() > korvex::protocol::MAX_PASSWORD_LENGTH) {
    std::fputs("korvexd: the password must fit its 256-byte login block (255 bytes)\n", stderr);
    return 2;
  }
  return std::nullopt;
}

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "korvexd";
  return std::string(name).substr(0, korvex::protocol::MAX_DEVICE_NAME_LENGTH);
}

// Each connection holds one descriptor; the default soft limit (often 1024)
// would cap the service below what the machine allows.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The C library gives threads heap arenas of their own, up to eight per CPU.
// Connection threads wait on sockets and allocate a few blocks per command,
// so more arenas than CPUs buy nothing, while each keeps some pages after a
// trim: once a crowd of clients has left, more of its memory stays.
void limitHeapArenas() {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  mallopt(M_ARENA_MAX, static_cast<int>(std::max(2L, cpus)));
}

// Sanitizer builds keep much larger frames.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kThreadStack = 1024 * 1024;
#else
constexpr std::size_t kThreadStack = 128 * 1024;
#endif

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (std::optional<int> exitCode = parseOptions(argc, argv, options)) return *exitCode;
  sockaddr_in address{};
  if (!parseListen(options.listen, address)) {
    std::fprintf(stderr, "korvexd: --listen wants an IPv4 address or host name and a port, HOST:PORT, not \"%s\"\n", options.listen.c_str());
    return 2;
  }

  // Blocked before any thread starts, so every thread inherits the mask and
  // the signals arrive only through the signalfd the accept loop polls.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit fails that one write (EFBIG), never the whole service.
  signal(SIGXFSZ, SIG_IGN);
  korvexd::Fd stopFd(signalfd(-1, &stopSignals, SFD_CLOEXEC));
  raiseDescriptorLimit();

  int error = 0;
  std::optional<korvexd::Root> root = korvexd::Root::open(options.root, options.resolver, error);
  if (!root) {
    std::fprintf(stderr, "korvexd: cannot serve %s: %s\n", options.root.c_str(), korvexd::errorText(error));
    return 1;
  }

  // Before the first client: an upload cut short by a crash left its temporary file.
  if (std::size_t stale = korvexd::removeStaleUploads(*root))
    korvexd::logLine("removed %zu temporary file%s of interrupted uploads", stale, stale == 1 ? "" : "s");

  korvexd::ServiceConfig config;
  config.password = options.password;
  config.deviceName = options.name.empty() ? hostName() : options.name;
  config.powerExits = options.powerExits;
  config.ioTimeoutMs = static_cast<int>(options.ioTimeoutMs);
  config.idleTimeoutMs = options.idleTimeoutMs == 0 ? -1 : static_cast<int>(options.idleTimeoutMs);
  config.loginTimeoutMs = static_cast<int>(options.loginTimeoutMs);
  // The kernel lets root give any file to anyone: a client should not inherit that.
  const bool asRoot = geteuid() == 0;
  config.chownAllowed = !asRoot || options.allowChown;
  // Read once, before any thread: umask(2) can only be read by setting it.
  const mode_t mask = umask(0);
  umask(mask);
  config.newFileMode = 0666 & ~mask;
  if (options.capacityKiB >= 0) config.capacityKiB = static_cast<std::uint64_t>(options.capacityKiB);
  korvexd::ServerLimits limits;
  limits.maxConnections = static_cast<std::size_t>(options.maxConnections);
  limits.maxPendingLogins = static_cast<std::size_t>(options.maxPendingLogins);
  limits.threadStackBytes = kThreadStack;
  limits.loginDelays = {static_cast<int>(options.loginDelayMs), static_cast<int>(options.loginDelayMaxMs),
                        static_cast<int>(options.loginQuietMs)};

  limitHeapArenas();  // before the first thread
  korvexd::Server server(*root, config, limits);
  std::string failure;
  if (!server.listen(address, failure)) {
    std::fprintf(stderr, "korvexd: cannot listen on %s: %s\n", options.listen.c_str(), failure.c_str());
    return 1;
  }
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  // Tests and scripts read the port from this first line.
  std::printf("korvexd listening on %s:%u\n", host, server.port());
  std::fflush(stdout);
  korvexd::logLine("serving %s as \"%s\" (%s resolution)", options.root.c_str(),
                   korvexd::printable(config.deviceName).c_str(),
                   root->resolver() == Resolver::Openat2 ? "openat2" : "component walk");
  if (asRoot) {
    korvexd::logLine(options.allowChown ? "running as root: CHOWN is served (--allow-chown)"
                                        : "running as root: CHOWN is refused (start with --allow-chown to serve it)");
  }

  server.run(stopFd.get());
  korvexd::logLine("stopped");
  return 0;
}
