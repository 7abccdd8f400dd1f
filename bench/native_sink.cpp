// A native stand-in for the reference service in the link benchmarks: a libwebsockets
// TLS server with the same protocol ("velmora-agent") and extension (permessage-deflate)
// that answers "auth" and takes the time of every "probe" as it arrives, so that the
// latency and drain rows measure the clients and not the Python service. One client
// at a time; a new connection starts a new record. Commands come from a FIFO, like
// bench/link_driver's, and each answer is one line starting with "driver: ":
//
//   native_sink FIFO PORT CERT KEY
//
//   auth ok|hold        answer the next "auth" at once, or hold it for "answer"
//   wait auth SECONDS   until the connection's "auth" has arrived
//   answer              send the held {"type": "auth", "ok": true}
//   wait N SECONDS      until N probes arrived: prints their count, the time from the
//                       answer to the last one (drain_ns) and each probe's latency,
//                       arrival minus its "t_ns" (lat_ns, comma-separated)
//   exit
//
// It listens on every address of its network namespace: it runs in the device sandbox.
//
// Its permessage-deflate answer names 12-bit windows, as the reference service's does:
// with the library's own answer the clients would compress with 15-bit windows, and
// rebuild that compressor for every message (no context takeover), which alone made
// a drain of 1,000 messages ten times slower.
#include <jansson.h>
#include <libwebsockets.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

long long clock_ns(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Shared by the service thread and the command thread.
std::mutex lock;
std::condition_variable changed;
bool hold_auth = false;
bool auth_seen = false;
bool answer_due = false;
long long answered_mono = 0;
std::vector<long long> latencies;  // arrival wall time minus the probe's t_ns
long long last_mono = 0;           // arrival of the last probe

lws_context *context;
lws *client;     // service thread only
std::string rx;  // service thread only
std::atomic<bool> stopping{false};

const lws_extension extensions[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate, "permessage-deflate"},
    {nullptr, nullptr, nullptr},
};

void on_message(const std::string &text, long long wall, long long mono) {
    json_t *root = json_loadb(text.data(), text.size(), 0, nullptr);
    const char *type = json_string_value(json_object_get(root, "type"));
    if (type != nullptr) {
        std::lock_guard guard(lock);
        if (strcmp(type, "probe") == 0) {
            latencies.push_back(wall - json_integer_value(json_object_get(root, "t_ns")));
            last_mono = mono;
        } else if (strcmp(type, "auth") == 0) {
            auth_seen = true;
            if (!hold_auth) {
                answer_due = true;
                lws_callback_on_writable(client);
            }
        }
        changed.notify_all();
    }
    json_decref(root);
}

int write_answer(lws *wsi) {
    static const char text[] = R"({"type": "auth", "ok": true})";
    unsigned char frame[LWS_PRE + sizeof text];
    memcpy(frame + LWS_PRE, text, sizeof text - 1);
    std::lock_guard guard(lock);
    answer_due = false;
    answered_mono = clock_ns(CLOCK_MONOTONIC);
    changed.notify_all();
    int n = lws_write(wsi, frame + LWS_PRE, sizeof text - 1, LWS_WRITE_TEXT);
    return n < static_cast<int>(sizeof text - 1) ? -1 : 0;
}

// The reference service answers a permessage-deflate offer with 12-bit windows both
// ways; the library's server names only the arg-less options, which leaves the client
// at 15 bits. The window sizes go on the end of the library's extensions line, the
// line just before the headers added here.
void add_window_bits(lws_process_html_args *args) {
    static const char kBits[] = "; client_max_window_bits=12; server_max_window_bits=12\r\n";
    static const char kLine[] = "\r\nSec-WebSocket-Extensions: permessage-deflate";
    // The end of the response so far: its status line and first headers alone are
    // longer than this.
    const std::string_view head(args->p - 160, 160);
    const size_t line = head.rfind(kLine);
    if (line == std::string_view::npos || head.find("\r\n", line + 2) != head.size() - 2 ||
        args->max_len < static_cast<int>(sizeof kBits))
        return;
    memcpy(args->p - 2, kBits, sizeof kBits - 1);
    args->p += sizeof kBits - 3;
    args->max_len -= static_cast<int>(sizeof kBits - 3);
}

int callback(lws *wsi, lws_callback_reasons reason, void *, void *in, size_t len) {
    switch (reason) {
        case LWS_CALLBACK_ADD_HEADERS:
            add_window_bits(static_cast<lws_process_html_args *>(in));
            return 0;
        case LWS_CALLBACK_ESTABLISHED: {
            lws_set_extension_option(wsi, "permessage-deflate", "server_max_window_bits", "12");
            client = wsi;
            rx.clear();
            std::lock_guard guard(lock);
            auth_seen = answer_due = false;
            answered_mono = last_mono = 0;
            latencies.clear();
            return 0;
        }
        case LWS_CALLBACK_RECEIVE: {
            const long long wall = clock_ns(CLOCK_REALTIME);
            const long long mono = clock_ns(CLOCK_MONOTONIC);
            if (lws_is_first_fragment(wsi))
                rx.clear();
            rx.append(static_cast<const char *>(in), len);
            if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0)
                on_message(rx, wall, mono);
            return 0;
        }
        case LWS_CALLBACK_SERVER_WRITEABLE: {
            bool due;
            {
                std::lock_guard guard(lock);
                due = answer_due;
            }
            return due ? write_answer(wsi) : 0;
        }
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            if (client != nullptr)
                lws_callback_on_writable(client);
            return 0;
        case LWS_CALLBACK_CLOSED:
            if (wsi == client)
                client = nullptr;
            return 0;
        default:
            return 0;
    }
}

const lws_protocols protocols[] = {
    {"velmora-agent", callback, 0, 16384, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

template <typename Pred>
bool wait_until(double seconds, Pred pred) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::duration<double>(seconds), pred);
}

void report(size_t count, double seconds) {
    wait_until(seconds, [&] { return latencies.size() >= count; });
    std::lock_guard guard(lock);
    std::string lat;
    for (long long v : latencies) {
        if (!lat.empty())
            lat += ',';
        lat += std::to_string(v);
    }
    printf("driver: probes %zu drain_ns %lld lat_ns %s\n", latencies.size(),
           answered_mono != 0 && last_mono != 0 ? last_mono - answered_mono : -1LL,
           lat.empty() ? "-" : lat.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: native_sink FIFO PORT CERT KEY\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (mkfifo(argv[1], 0600) != 0 && errno != EEXIST) {
        perror("mkfifo");
        return 1;
    }
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    lws_context_creation_info info{};
    info.port = atoi(argv[2]);
    info.protocols = protocols;
    info.extensions = extensions;
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.ssl_cert_filepath = argv[3];
    info.ssl_private_key_filepath = argv[4];
    info.gid = -1;
    info.uid = -1;
    context = lws_create_context(&info);
    if (context == nullptr) {
        fprintf(stderr, "native_sink: no context on port %s\n", argv[2]);
        return 1;
    }
    // Waits in poll between events (no spinning: the clients share the CPUs);
    // lws_cancel_service() wakes it for a command.
    std::thread service([] {
        while (!stopping)
            lws_service(context, 1000);
    });
    printf("driver: ready\n");

    FILE *commands = fopen(argv[1], "r");
    char line[256];
    while (commands != nullptr && fgets(line, sizeof line, commands) != nullptr) {
        char word[32] = "", arg[32] = "";
        double seconds = 0;
        int fields = sscanf(line, "%31s %31s %lf", word, arg, &seconds);
        const std::string cmd = word;
        if (cmd == "auth" && fields == 2) {
            std::lock_guard guard(lock);
            hold_auth = strcmp(arg, "hold") == 0;
            printf("driver: auth %s\n", hold_auth ? "hold" : "ok");
        } else if (cmd == "wait" && fields == 3 && strcmp(arg, "auth") == 0) {
            printf("driver: auth %s\n",
                   wait_until(seconds, [] { return auth_seen; }) ? "yes" : "timeout");
        } else if (cmd == "answer") {
            {
                std::lock_guard guard(lock);
                answer_due = true;
            }
            lws_cancel_service(context);
            printf("driver: answered %s\n",
                   wait_until(5, [] { return !answer_due; }) ? "yes" : "timeout");
        } else if (cmd == "wait" && fields == 3) {
            report(static_cast<size_t>(atol(arg)), seconds);
        } else if (cmd == "exit") {
            break;
        } else if (fields >= 1) {
            printf("driver: unknown command %s\n", word);
        }
    }
    stopping = true;
    lws_cancel_service(context);
    service.join();
    lws_context_destroy(context);
    return 0;
}
