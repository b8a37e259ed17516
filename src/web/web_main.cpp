// kavrel-mode-switch-web: the switch and the status of the module from a
// phone's browser, on the same engine as the terminal program (Linux).
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/line_text.h"
#include "web/caster_users.h"
#include "web/client_address.h"
#include "web/corrections.h"
#include "web/ntrip_caster.h"
#include "web/ntrip_push.h"
#include "web/port_job.h"
#include "web/port_watch.h"
#include "web/routes.h"
#include "web/password.h"
#include "web/web_server.h"

namespace {

const char VERSION[] = "kavrel-mode-switch-web " KMS_VERSION;
const char DEFAULT_LISTEN[] = "127.0.0.1:8080";
const char CREDENTIAL_NAME[] = "web-password";
const char PASSWORD_PATH_EXAMPLE[] = "/etc/kavrel-mode-switch/web-password";
const char CASTER_USERS_EXAMPLE[] = "/etc/kavrel-mode-switch/caster-users";
const char PUSH_BACKOFF_VARIABLE[] = "KMS_TEST_PUSH_BACKOFF_MS"; // see ntrip_push.h
const int LISTENS_MAX = 4;
const size_t TLS_FILE_MAX_BYTES = 65536;
const size_t PATH_LEN = 4096;
const unsigned CONNECTION_IDLE_S = 20; // once its request has come: the gate sees to the rest
const size_t CONNECTION_MEMORY_BYTES = 32768; // a request's headers must fit
const int LISTEN_BACKLOG = 64;
const useconds_t STOP_DEADLINE_US = 1800000; // the program ends by then whatever still runs
const int EXIT_USAGE = 2;
const uint64_t LIBRARY_LOG_EVERY_MS = 1000; // a flood of malformed requests logs one line a second
// Forward-secret key exchange only, over TLS 1.2 or 1.3.
const char TLS_PRIORITIES[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-RSA:-DHE-PSK:-PSK:"
                              "-RSA-PSK:-ECDHE-PSK:-ANON-DH:-ANON-ECDH";

const char USAGE[] = "usage: kavrel-mode-switch-web [--listen ADDR:PORT]... [--device PATH]... "
                     "[--password-file FILE]\n"
                     "                              [--host NAME]... [--trust-proxy ADDR]...\n"
                     "                              [--tls-cert FILE --tls-key FILE]\n"
                     "                              [--mount NAME=PATH]... [--caster ADDR:PORT]... "
                     "[--caster-users FILE]\n"
                     "                              [--push NAME=FILE]...\n"
                     "       kavrel-mode-switch-web password FILE\n"
                     "       kavrel-mode-switch-web caster-user FILE NAME\n"
                     "       kavrel-mode-switch-web -h | --help | -V | --version\n";

const int LISTEN_OPTION = 1000, DEVICE_OPTION = 1001, PASSWORD_OPTION = 1002, CERT_OPTION = 1003,
          KEY_OPTION = 1004, HOST_OPTION = 1005, PROXY_OPTION = 1006, CASTER_OPTION = 1007,
          MOUNT_OPTION = 1008, USERS_OPTION = 1009, PUSH_OPTION = 1010;
const struct option LONG_OPTIONS[] = {
    {"listen", required_argument, nullptr, LISTEN_OPTION},
    {"device", required_argument, nullptr, DEVICE_OPTION},
    {"password-file", required_argument, nullptr, PASSWORD_OPTION},
    {"tls-cert", required_argument, nullptr, CERT_OPTION},
    {"tls-key", required_argument, nullptr, KEY_OPTION},
    {"host", required_argument, nullptr, HOST_OPTION},
    {"trust-proxy", required_argument, nullptr, PROXY_OPTION},
    {"caster", required_argument, nullptr, CASTER_OPTION},
    {"mount", required_argument, nullptr, MOUNT_OPTION},
    {"caster-users", required_argument, nullptr, USERS_OPTION},
    {"push", required_argument, nullptr, PUSH_OPTION},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// --push NAME=FILE.
struct PushOption {
    const char* mount;
    const char* file;
};

// The base's corrections as the options give them: where the caster
// listens, its users, the mounts and the pushes.
struct BaseOptions {
    const char* casters[CASTER_LISTENS_MAX];
    int casterCount;
    const char* usersFile;
    MountList mounts;
    PushOption pushes[PUSHES_MAX];
    int pushCount;
};

// Everything the corrections run on, made once.
struct Base {
    Caster caster;
    CasterUsers users;
    NtripPush pushes[PUSHES_MAX];
    Corrections corrections;
};

struct Options {
    BaseOptions base;
    const char* listens[LISTENS_MAX];
    int listenCount;
    const char* passwordFile;
    const char* certFile;
    const char* keyFile;
    bool help, version;
};

struct TlsFiles {
    char cert[TLS_FILE_MAX_BYTES];
    char key[TLS_FILE_MAX_BYTES];
};

int UsageError(const char* problem, const char* what) {
    fprintf(stderr, "kavrel-mode-switch-web: %s%s\n%s", problem, what, USAGE);
    return EXIT_USAGE;
}

// A proxy whose X-Forwarded-For is believed: a numeric address, as each
// connection's is, so that no name lookup stands between the two.
int TakeProxy(const char* text, TrustedProxies* proxies) {
    if (proxies->count == TRUSTED_PROXIES_MAX ||
        !ParseNumericAddress(text, strlen(text), &proxies->addresses[proxies->count])) {
        return UsageError("bad or too many --trust-proxy (a numeric address): ", text);
    }
    ++proxies->count;
    return 0;
}

// --mount NAME=PATH; 0, or the usage error's status.
int TakeMount(const char* text, MountList* mounts) {
    const char* equals = strchr(text, '=');
    size_t nameLength = equals != nullptr ? (size_t)(equals - text) : 0;
    const char* path = equals != nullptr ? equals + 1 : "";
    bool repeated = false;
    for (int i = 0; i < mounts->count; ++i) {
        const MountPoint* mount = &mounts->mounts[i];
        repeated =
            repeated || strcmp(mount->path, path) == 0 ||
            (strlen(mount->name) == nameLength && strncmp(mount->name, text, nameLength) == 0);
    }
    if (!NtripNameValid(text, nameLength) || path[0] == '\0' || strlen(path) > PORT_PATH_MAX_LEN ||
        repeated || mounts->count == CASTER_MOUNTS_MAX) {
        return UsageError("bad or too many --mount (NAME=PATH, NAME 1 to 32 of A-Z a-z 0-9 _ -, "
                          "each NAME and PATH once): ",
                          text);
    }
    MountPoint* mount = &mounts->mounts[mounts->count++];
    snprintf(mount->name, sizeof mount->name, "%.*s", (int)nameLength, text);
    snprintf(mount->path, sizeof mount->path, "%s", path);
    return 0;
}

// The caster's and the pushes' options; -1 for another option, else 0 or
// the usage error's status.
int TakeBaseOption(int option, char* value, BaseOptions* base) {
    char* equals = value != nullptr ? strchr(value, '=') : nullptr;
    if (option == MOUNT_OPTION) {
        return TakeMount(value, &base->mounts);
    }
    if (option == CASTER_OPTION && base->casterCount < CASTER_LISTENS_MAX) {
        base->casters[base->casterCount++] = value;
    } else if (option == USERS_OPTION) {
        base->usersFile = value;
    } else if (option == PUSH_OPTION && base->pushCount < PUSHES_MAX && equals != nullptr &&
               equals[1] != '\0') {
        *equals = '\0';
        base->pushes[base->pushCount++] = {value, equals + 1};
    } else if (option == CASTER_OPTION || option == PUSH_OPTION) {
        return UsageError(option == CASTER_OPTION ? "too many --caster: "
                                                  : "bad or too many --push (NAME=FILE): ",
                          value);
    } else {
        return -1;
    }
    return 0;
}

// What is checked once every option is in: a mount's port is one the page
// offers, a push names a mount.
int CheckBaseOptions(const BaseOptions* base, const Server* server) {
    for (int i = 0; i < base->mounts.count; ++i) {
        const char* path = base->mounts.mounts[i].path;
        bool offered = server->deviceCount == 0;
        for (int d = 0; d < server->deviceCount; ++d) {
            offered = offered || strcmp(server->devices[d], path) == 0;
        }
        if (!offered) {
            return UsageError("a --mount's PATH that no --device offers: ", path);
        }
    }
    for (int i = 0; i < base->pushCount; ++i) {
        bool named = false;
        for (int m = 0; m < base->mounts.count; ++m) {
            named = named || strcmp(base->mounts.mounts[m].name, base->pushes[i].mount) == 0;
        }
        if (!named) {
            return UsageError("a --push for no --mount: ", base->pushes[i].mount);
        }
    }
    return 0;
}

// Takes one option; 0, or the usage error's status.
int TakeOption(int option, char** argv, Options* options, Server* server) {
    int base = TakeBaseOption(option, optarg, &options->base);
    if (base >= 0) {
        return base;
    }
    if (option == LISTEN_OPTION && options->listenCount < LISTENS_MAX) {
        options->listens[options->listenCount++] = optarg;
    } else if (option == DEVICE_OPTION && server->deviceCount < DEVICES_MAX && optarg[0] != '\0' &&
               strlen(optarg) <= PORT_PATH_MAX_LEN) {
        server->devices[server->deviceCount++] = optarg;
    } else if (option == PASSWORD_OPTION || option == CERT_OPTION || option == KEY_OPTION) {
        (option == PASSWORD_OPTION ? options->passwordFile
         : option == CERT_OPTION   ? options->certFile
                                   : options->keyFile) = optarg;
    } else if (option == HOST_OPTION) {
        if (!AddHostName(&server->hostNames, optarg)) {
            return UsageError("bad or too many --host: ", optarg);
        }
    } else if (option == PROXY_OPTION) {
        return TakeProxy(optarg, &server->proxies);
    } else if (option == 'h' || option == 'V') {
        (option == 'h' ? options->help : options->version) = true;
    } else if (option == LISTEN_OPTION || option == DEVICE_OPTION) {
        return UsageError(
            option == LISTEN_OPTION ? "too many --listen: " : "bad or too many --device: ", optarg);
    } else {
        return UsageError("unknown option, or a value missing after: ", argv[optind - 1]);
    }
    return 0;
}

int ReadOptions(int argc, char** argv, Options* options, Server* server) {
    memset(options, 0, sizeof *options);
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "hV", LONG_OPTIONS, nullptr)) != -1;) {
        int problem = TakeOption(option, argv, options, server);
        if (problem != 0) {
            return problem;
        }
    }
    if (optind < argc) {
        return UsageError("unexpected argument: ", argv[optind]);
    }
    if ((options->certFile == nullptr) != (options->keyFile == nullptr)) {
        return UsageError("--tls-cert and --tls-key go together", "");
    }
    int problem = CheckBaseOptions(&options->base, server);
    if (problem != 0) {
        return problem;
    }
    if (options->listenCount == 0) {
        options->listens[options->listenCount++] = DEFAULT_LISTEN;
    }
    return 0;
}

// The password file given, or the service's credential; null when neither.
const char* PasswordFile(const Options* options, char* path, size_t size) {
    if (options->passwordFile != nullptr) {
        return options->passwordFile;
    }
    const char* folder = getenv("CREDENTIALS_DIRECTORY");
    struct stat info;
    if (folder != nullptr && snprintf(path, size, "%s/%s", folder, CREDENTIAL_NAME) < (int)size &&
        stat(path, &info) == 0) {
        return path;
    }
    return nullptr;
}

// A file the options name: one without a folder, under the service, is the
// credential of that name, which systemd hands over from a file root alone
// may read.
const char* CredentialOr(const char* file, char* path, size_t size) {
    const char* folder = getenv("CREDENTIALS_DIRECTORY");
    if (folder == nullptr || strchr(file, '/') != nullptr ||
        snprintf(path, size, "%s/%s", folder, file) >= (int)size) {
        return file;
    }
    return path;
}

int ReadWholeFile(const char* path, char* text, size_t size) {
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        int error = errno;
        fprintf(stderr, "kavrel-mode-switch-web: cannot read %s: %s\n", path, strerror(error));
        return 0;
    }
    size_t got = fread(text, 1, size - 1, file);
    bool whole = feof(file) != 0 && ferror(file) == 0;
    fclose(file);
    text[got] = '\0';
    if (!whole || got == 0) {
        fprintf(stderr, "kavrel-mode-switch-web: %s is empty or larger than %lu bytes\n", path,
                (unsigned long)(size - 1));
    }
    return whole && got > 0;
}

// A private key that others may read is refused: whoever can read it can
// pose as this board. One that systemd hands over as a credential is
// systemd's to guard.
bool KeyFileGuarded(const char* path) {
    const char* credentials = getenv("CREDENTIALS_DIRECTORY");
    size_t length = credentials != nullptr ? strlen(credentials) : 0;
    struct stat info;
    if ((length > 0 && strncmp(path, credentials, length) == 0 && path[length] == '/') ||
        stat(path, &info) != 0 || (info.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
        return true; // a file that cannot be read is said so by its reading
    }
    fprintf(stderr,
            "kavrel-mode-switch-web: %s may be read by others (mode %04o); make it its owner's "
            "alone (chmod 600 %s), or hand it to the service as a credential\n",
            path, (unsigned)(info.st_mode & 07777), path);
    return false;
}

// The library's own messages, most about malformed requests: one line a
// second at most, so that a flood of them cannot fill the journal.
void LogLibraryMessage(void* cls, const char* format, va_list arguments) {
    LibraryLog* log = static_cast<LibraryLog*>(cls);
    uint64_t nowMs = NowMs();
    pthread_mutex_lock(&log->lock);
    bool due = log->loggedMs == 0 || nowMs - log->loggedMs >= LIBRARY_LOG_EVERY_MS;
    unsigned dropped = log->dropped;
    log->dropped = due ? 0 : log->dropped + 1;
    log->loggedMs = due ? nowMs : log->loggedMs;
    pthread_mutex_unlock(&log->lock);
    if (!due) {
        return;
    }
    char message[LOG_LINE_LEN];
    vsnprintf(message, sizeof message, format, arguments);
    char text[TERMINAL_LINE_LEN];
    RecordLine(message, strlen(message), text, sizeof text);
    size_t length = strlen(text);
    length -= length >= 2 && strcmp(text + length - 2, "\\n") == 0 ? 2 : 0;
    fprintf(stderr, "libmicrohttpd: %.*s", (int)length, text);
    fprintf(stderr, dropped > 0 ? " (and %u more since the last)\n" : "\n", dropped);
}

// The numeric address of "ADDR:PORT" ("[::1]:8080" for IPv6), for the
// option named; null when refused (said).
struct addrinfo* ListenAddress(const char* option, const char* listen) {
    char host[PATH_LEN];
    char problem[64];
    const char* colon = strrchr(listen, ':');
    size_t hostLength = colon != nullptr ? (size_t)(colon - listen) : 0;
    snprintf(problem, sizeof problem, "%s takes a numeric ADDR:PORT, not ", option);
    if (colon == nullptr || hostLength == 0 || hostLength >= sizeof host) {
        UsageError(problem, listen);
        return nullptr;
    }
    bool bracketed = listen[0] == '[' && hostLength >= 2 && listen[hostLength - 1] == ']';
    snprintf(host, sizeof host, "%.*s", (int)(bracketed ? hostLength - 2 : hostLength),
             listen + (bracketed ? 1 : 0));
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, colon + 1, &hints, &found) != 0) {
        UsageError(problem, listen);
        return nullptr;
    }
    return found;
}

// A listening socket for the option's "ADDR:PORT"; -1 when refused (said).
int OpenListener(const char* option, const char* listen) {
    struct addrinfo* found = ListenAddress(option, listen);
    if (found == nullptr) {
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                 bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
                 ::listen(fd, LISTEN_BACKLOG) == 0;
    int error = errno;
    freeaddrinfo(found);
    if (!bound) {
        fprintf(stderr, "kavrel-mode-switch-web: cannot listen on %s: %s\n", listen,
                strerror(error));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

// Says where the server or the caster listens ("Listening on", "http"),
// with the port the system chose for 0.
void SayListening(int fd, const char* what, const char* scheme) {
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length) == 0 &&
        getnameinfo(reinterpret_cast<struct sockaddr*>(&address), length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        bool v6 = address.ss_family == AF_INET6;
        fprintf(stderr, "%s %s://%s%s%s:%s/\n", what, scheme, v6 ? "[" : "", host, v6 ? "]" : "",
                port);
    }
}

struct MHD_Daemon* StartDaemon(Server* server, int fd, const TlsFiles* tls) {
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                     MHD_USE_POLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    static_assert(GATE_SLOTS > GATE_SERVED_MAX, "the library keeps room for the gate's spare");
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length) == 0 &&
        address.ss_family == AF_INET6) {
        flags |= MHD_USE_IPv6;
    }
    flags |= tls != nullptr ? MHD_USE_TLS : 0;
    struct MHD_OptionItem tlsOptions[] = {
        {tls != nullptr ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
         tls != nullptr ? const_cast<char*>(tls->cert) : nullptr},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, tls != nullptr ? const_cast<char*>(tls->key) : nullptr},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(TLS_PRIORITIES)},
        {MHD_OPTION_END, 0, nullptr},
    };
    return MHD_start_daemon(
        flags, 0, AdmitClient, server, HandleRequest, server, MHD_OPTION_EXTERNAL_LOGGER,
        LogLibraryMessage, &server->libraryLog, MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, (unsigned)GATE_SLOTS, MHD_OPTION_CONNECTION_TIMEOUT,
        CONNECTION_IDLE_S, MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY_BYTES,
        MHD_OPTION_NOTIFY_COMPLETED, RequestCompleted, server, MHD_OPTION_NOTIFY_CONNECTION,
        NoteConnection, server, MHD_OPTION_ARRAY, tlsOptions, MHD_OPTION_END);
}

void* EndRegardless(void*) {
    usleep(STOP_DEADLINE_US);
    _exit(0);
}

// Waits for SIGINT or SIGTERM, then ends within 2 s: a running switch is
// interrupted as the terminal program interrupts one, its port released.
[[noreturn]] void ServeUntilSignal(Server* server, struct MHD_Daemon** daemons, int count,
                                   const sigset_t* signals) {
    int signal = 0;
    while (sigwait(signals, &signal) != 0) {
    }
    pthread_t deadline;
    if (pthread_create(&deadline, nullptr, EndRegardless, nullptr) == 0) {
        pthread_detach(deadline);
    }
    pthread_mutex_lock(&server->lock);
    server->stopping = true;
    InterruptJobs(server, signal == SIGINT ? 130 : 143);
    TellEveryPort(server);
    pthread_mutex_unlock(&server->lock);
    ReleaseAllPorts();
    for (int i = 0; i < count; ++i) {
        MHD_stop_daemon(daemons[i]);
    }
    fprintf(stderr, "Stopped.\n");
    _exit(0);
}

int Serve(Server* server, const Options* options, const TlsFiles* tls) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM); // blocked since the start, for the wait below
    signal(SIGPIPE, SIG_IGN);
    struct MHD_Daemon* daemons[LISTENS_MAX];
    for (int i = 0; i < options->listenCount; ++i) {
        int fd = OpenListener("--listen", options->listens[i]);
        daemons[i] = fd >= 0 ? StartDaemon(server, fd, tls) : nullptr;
        if (daemons[i] == nullptr) {
            fprintf(stderr, "kavrel-mode-switch-web: cannot serve on %s\n", options->listens[i]);
            return 1;
        }
        SayListening(fd, "Listening on", tls != nullptr ? "https" : "http");
    }
    ServeUntilSignal(server, daemons, options->listenCount, &signals);
}

// The pushes' first wait: the tests' (KMS_TEST_PUSH_BACKOFF_MS, shorter),
// or the product's.
uint64_t PushBackoffFirstMs() {
    const char* text = getenv(PUSH_BACKOFF_VARIABLE);
    char* end = nullptr;
    unsigned long long value = text != nullptr ? strtoull(text, &end, 10) : 0;
    bool given = text != nullptr && end != text && *end == '\0';
    return given && value > 0 && value < PUSH_BACKOFF_FIRST_MS ? value : PUSH_BACKOFF_FIRST_MS;
}

// The caster, when asked for: its users, then its listeners. 0 when it
// cannot serve (said).
int StartOwnCaster(Base* base, const BaseOptions* options) {
    int fds[CASTER_LISTENS_MAX];
    if (options->casterCount == 0) {
        return 1;
    }
    char path[PATH_LEN];
    if (!LoadCasterUsers(CredentialOr(options->usersFile, path, sizeof path), &base->users)) {
        return 0;
    }
    for (int i = 0; i < options->casterCount; ++i) {
        fds[i] = OpenListener("--caster", options->casters[i]);
        if (fds[i] < 0) {
            return 0;
        }
    }
    if (!StartCaster(&base->caster, fds, options->casterCount, &options->mounts, &base->users,
                     KMS_VERSION)) {
        fprintf(stderr, "kavrel-mode-switch-web: cannot start the caster\n");
        return 0;
    }
    for (int i = 0; i < options->casterCount; ++i) {
        SayListening(fds[i], "Caster on", "ntrip");
    }
    return 1;
}

int StartPushes(Base* base, const BaseOptions* options) {
    uint64_t firstMs = PushBackoffFirstMs();
    for (int i = 0; i < options->pushCount; ++i) {
        PushTarget target;
        char path[PATH_LEN];
        int started =
            LoadPushTarget(CredentialOr(options->pushes[i].file, path, sizeof path), &target) &&
            StartPush(&base->pushes[i], options->pushes[i].mount, &target, KMS_VERSION, firstMs);
        explicit_bzero(&target, sizeof target);
        if (!started) {
            return 0;
        }
    }
    return 1;
}

// The caster, the pushes and the feeds of their frames; 0, or the exit
// status.
int StartBase(Base* base, const BaseOptions* options) {
    if (options->casterCount > 0 && options->usersFile == nullptr) {
        fprintf(stderr,
                "kavrel-mode-switch-web: --caster without --caster-users: the caster never "
                "serves without its users.\n"
                "Make the file with: sudo kavrel-mode-switch-web caster-user %s NAME\n"
                "then add: --caster-users %s\n",
                CASTER_USERS_EXAMPLE, CASTER_USERS_EXAMPLE);
        return EXIT_USAGE;
    }
    int started = StartOwnCaster(base, options) && StartPushes(base, options);
    if (started) {
        StartCorrections(&base->corrections, &options->mounts,
                         options->casterCount > 0 ? &base->caster : nullptr, base->pushes,
                         options->pushCount);
    }
    return started ? 0 : 1;
}

// Each mount's port is watched for the program's life, so that its
// corrections flow with no page open.
void WatchMounts(Server* server, Corrections* corrections) {
    pthread_mutex_lock(&server->lock);
    for (int i = 0; i < corrections->count; ++i) {
        WebPort* port = FindWebPort(server, corrections->feeds[i].path);
        if (port != nullptr) {
            port->feed = &corrections->feeds[i];
            EnsureWatch(port);
        }
    }
    pthread_mutex_unlock(&server->lock);
}

// The password's hash, and the certificate and key; 0, or the exit status.
int LoadSecrets(Server* server, const Options* options, TlsFiles* tls) {
    char credential[PATH_LEN];
    const char* passwordFile = PasswordFile(options, credential, sizeof credential);
    if (passwordFile == nullptr) {
        fprintf(stderr,
                "kavrel-mode-switch-web: no password file: the server never serves without one.\n"
                "Make one with: sudo kavrel-mode-switch-web password %s\n"
                "then start the service (sudo systemctl enable --now kavrel-mode-switch-web),\n"
                "or this program with: --password-file %s\n",
                PASSWORD_PATH_EXAMPLE, PASSWORD_PATH_EXAMPLE);
        return EXIT_USAGE;
    }
    if (!LoadPasswordHash(passwordFile, server->passwordHash, sizeof server->passwordHash)) {
        return 1;
    }
    server->tls = options->certFile != nullptr;
    if (server->tls && (!ReadWholeFile(options->certFile, tls->cert, sizeof tls->cert) ||
                        !KeyFileGuarded(options->keyFile) ||
                        !ReadWholeFile(options->keyFile, tls->key, sizeof tls->key))) {
        return 1;
    }
    return 0;
}

int Start(Server* server, const Options* options) {
    // Blocked before any thread starts, so that only the main thread's wait
    // sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    static TlsFiles tls;
    int status = LoadSecrets(server, options, &tls);
    if (status != 0) {
        return status;
    }
    if (!StartServer(server)) {
        fprintf(stderr, "kavrel-mode-switch-web: cannot set up the server's lock\n");
        return 1;
    }
    StartEngine();
    // Made once, for the program's life.
    Base* base = static_cast<Base*>(calloc(1, sizeof(Base)));
    status = base != nullptr ? StartBase(base, &options->base) : 1;
    if (status == EXIT_USAGE) {
        free(base); // refused before any thread started
    }
    if (status != 0) {
        return status; // otherwise the record stays: a caster or push thread may run
    }
    if (!StartGate(&server->gate, &server->proxies)) {
        fprintf(stderr, "kavrel-mode-switch-web: cannot start the connections' gate\n");
        return 1; // the server record stays, as the caster's and the pushes' threads run
    }
    WatchMounts(server, &base->corrections);
    return Serve(server, options, server->tls ? &tls : nullptr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "password") == 0) {
        return argc == 3 ? RunPasswordCommand(argv[2]) : UsageError("password takes FILE only", "");
    }
    if (argc >= 2 && strcmp(argv[1], "caster-user") == 0) {
        return argc == 4 ? RunCasterUserCommand(argv[2], argv[3])
                         : UsageError("caster-user takes FILE NAME only", "");
    }
    // Every table of the server in one record, made once.
    Server* server = static_cast<Server*>(calloc(1, sizeof(Server)));
    if (server == nullptr) {
        fprintf(stderr, "kavrel-mode-switch-web: out of memory\n");
        return 1;
    }
    Options options;
    StartHostNames(&server->hostNames);
    int problem = ReadOptions(argc, argv, &options, server);
    if (problem == 0 && options.help) {
        fputs(USAGE, stdout);
    } else if (problem == 0 && options.version) {
        puts(VERSION);
    }
    if (problem != 0 || options.help || options.version) {
        free(server);
        return problem;
    }
    int status = Start(server, &options);
    free(server);
    return status;
}
