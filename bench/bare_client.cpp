// The floor the benchmarks compare the daemon with: a bare libwebsockets TLS client.
// One context, one connection, one message per writable callback, nothing else: no
// reconnection, no handlers, no reports. It links to the same service the same way
// (TLS with the device's CA file, the "velmora-agent" protocol, the same extensions and
// idle ping), sends "auth" with the agent file's key and device, and holds what is
// queued until the service answers it. Messages come from a producer thread on
// commands read from a FIFO, the commands and answers of bench/link_driver:
//
//   bare_client [-u URL] FIFO
//
//   wait connected|authenticated SECONDS
//   enqueue N          N messages {"type": "probe", "n", "t_ns"} back to back
//   paced N MICROS     N messages, one every MICROS microseconds
//   mimic METRICS STATUS   from now on, the text of the file METRICS every 10 s and
//                      that of STATUS every 30 s, each from its own thread: the
//                      daemon's reports, the same sizes at the same cadence
//   exit
//
// Like the daemon, it only runs inside the device sandbox (fixed paths).
#include <jansson.h>
#include <libwebsockets.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kAgentFile = "/config/velmora.json";
constexpr const char *kCaFile = "/etc/ssl/certs/letsencryptauthorityx3.pem";

std::mutex queue_lock;
std::deque<std::string> queue;
lws_context *context;
lws *link_wsi;  // service thread only
std::atomic<bool> connected{false};
std::atomic<bool> authenticated{false};
std::atomic<bool> auth_sent{false};
std::atomic<bool> stopping{false};
std::string auth_text;
std::string rx;  // service thread only

const lws_retry_bo_t idle_policy = {
    .retry_ms_table = nullptr,
    .retry_ms_table_count = 0,
    .conceal_count = 0,
    .secs_since_valid_ping = 20,
    .secs_since_valid_hangup = 80,
    .jitter_percent = 0,
};

const lws_extension extensions[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate,
     "permessage-deflate; client_no_context_takeover; client_max_window_bits"},
    {"deflate-frame", lws_extension_callback_pm_deflate, "deflate-frame"},
    {nullptr, nullptr, nullptr},
};

long long wall_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int write_text(lws *wsi, const std::string &text) {
    std::vector<unsigned char> frame(LWS_PRE + text.size());
    memcpy(frame.data() + LWS_PRE, text.data(), text.size());
    int n = lws_write(wsi, frame.data() + LWS_PRE, text.size(), LWS_WRITE_TEXT);
    return n < static_cast<int>(text.size()) ? -1 : 0;
}

// The auth answer is the only message read: {"type": "auth", "ok": true}.
void on_message(const std::string &text) {
    json_t *root = json_loads(text.c_str(), 0, nullptr);
    const char *type = nullptr;
    int ok = 0;
    if (root != nullptr && json_unpack(root, "{ss,sb}", "type", &type, "ok", &ok) == 0 &&
        strcmp(type, "auth") == 0 && ok != 0) {
        authenticated = true;
        lws_callback_on_writable(link_wsi);
    }
    json_decref(root);
}

int callback(lws *wsi, lws_callback_reasons reason, void *, void *in, size_t len) {
    switch (reason) {
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            link_wsi = wsi;
            connected = true;
            lws_callback_on_writable(wsi);
            return 0;
        case LWS_CALLBACK_CLIENT_RECEIVE:
            if (lws_is_first_fragment(wsi))
                rx.clear();
            rx.append(static_cast<const char *>(in), len);
            if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0)
                on_message(rx);
            return 0;
        case LWS_CALLBACK_CLIENT_WRITEABLE: {
            if (!auth_sent) {
                auth_sent = true;
                return write_text(wsi, auth_text);
            }
            if (!authenticated)
                return 0;
            std::string text;
            bool more = false;
            {
                std::lock_guard lock(queue_lock);
                if (queue.empty())
                    return 0;
                text = std::move(queue.front());
                queue.pop_front();
                more = !queue.empty();
            }
            if (more)
                lws_callback_on_writable(wsi);
            return write_text(wsi, text);
        }
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            if (link_wsi != nullptr && authenticated)
                lws_callback_on_writable(link_wsi);
            return 0;
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        case LWS_CALLBACK_CLIENT_CLOSED:
            link_wsi = nullptr;
            connected = false;
            authenticated = false;
            fprintf(stderr, "bare_client: link closed\n");
            return 0;
        default:
            return 0;
    }
}

const lws_protocols protocols[] = {
    {"velmora-agent", callback, 0, 8192, 0, nullptr, 8192},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void push(std::string text) {
    {
        std::lock_guard lock(queue_lock);
        queue.push_back(std::move(text));
    }
    lws_cancel_service(context);
}

void enqueue(int n) {
    char text[96];
    snprintf(text, sizeof text, "{\"type\": \"probe\", \"n\": %d, \"t_ns\": %lld}", n, wall_ns());
    push(text);
}

std::mutex mimic_lock;
std::condition_variable mimic_wake;
std::vector<std::thread> mimics;

// Sends text now and then once every period until the end.
void mimic(const char *path, const char *thread, std::chrono::seconds period) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    if (!file || text.str().empty()) {
        printf("driver: mimic cannot read %s\n", path);
        return;
    }
    mimics.emplace_back([message = text.str(), thread, period] {
        prctl(PR_SET_NAME, thread, 0, 0, 0);
        auto next = std::chrono::steady_clock::now();
        std::unique_lock lock(mimic_lock);
        while (!stopping) {
            push(message);
            next += period;
            mimic_wake.wait_until(lock, next, [] { return stopping.load(); });
        }
    });
}

void produce(int count, long pause_us) {
    std::thread producer([&] {
        for (int n = 0; n < count; ++n) {
            enqueue(n);
            if (pause_us > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
        }
    });
    producer.join();
    printf("driver: enqueued ok=%d dropped=0 no_link=0\n", count);
}

void wait_state(const char *what, double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::microseconds(static_cast<long>(seconds * 1e6));
    auto reached = [&] {
        return strcmp(what, "connected") == 0 ? connected.load() : authenticated.load();
    };
    while (!reached() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    printf("driver: %s %s\n", what, reached() ? "yes" : "timeout");
}

bool load_auth() {
    json_t *agent = json_load_file(kAgentFile, 0, nullptr);
    const char *key = nullptr;
    const char *dev = nullptr;
    bool ok =
        agent != nullptr && json_unpack(agent, "{ss,ss}", "api_key", &key, "dev_id", &dev) == 0;
    if (ok) {
        json_t *auth =
            json_pack("{ss,ss,ss,ss,ss,ss}", "type", "auth", "api_key", key, "device_id", dev,
                      "model", "bench", "firmware_id", "bench", "firmware_ver", "bench");
        char *text = json_dumps(auth, 0);
        auth_text = text;
        free(text);
        json_decref(auth);
    }
    json_decref(agent);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    std::string url = RIGKEEP_SERVICE_URL;
    int opt;
    while ((opt = getopt(argc, argv, "u:")) != -1) {
        if (opt == 'u')
            url = optarg;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: bare_client [-u URL] FIFO\n");
        return 2;
    }
    const char *fifo = argv[optind];
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!load_auth()) {
        fprintf(stderr, "bare_client: no api_key and dev_id in %s\n", kAgentFile);
        return 1;
    }
    if (mkfifo(fifo, 0600) != 0 && errno != EEXIST) {
        perror("mkfifo");
        return 1;
    }

    std::vector<char> uri(url.begin(), url.end());
    uri.push_back('\0');
    const char *scheme, *host, *path_rest;
    int port;
    if (lws_parse_uri(uri.data(), &scheme, &host, &port, &path_rest) != 0) {
        fprintf(stderr, "bare_client: bad URL %s\n", url.c_str());
        return 1;
    }
    std::string path = std::string("/") + path_rest;

    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.extensions = extensions;
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.timeout_secs = 60;
    info.retry_and_idle_policy = &idle_policy;
    info.client_ssl_ca_filepath = kCaFile;
    context = lws_create_context(&info);
    if (context == nullptr)
        return 1;

    lws_client_connect_info ci{};
    ci.context = context;
    ci.address = host;
    ci.host = host;
    ci.origin = host;
    ci.port = port;
    ci.path = path.c_str();
    ci.ssl_connection = LCCSCF_USE_SSL | LCCSCF_ALLOW_EXPIRED;
    ci.protocol = protocols[0].name;
    ci.ietf_version_or_minus_one = -1;
    if (lws_client_connect_via_info(&ci) == nullptr) {
        fprintf(stderr, "bare_client: connection not started\n");
        return 1;
    }
    std::thread service([] {
        prctl(PR_SET_NAME, "bare@service", 0, 0, 0);
        while (!stopping)
            lws_service(context, 0);
    });
    printf("driver: ready\n");

    FILE *commands = fopen(fifo, "r");
    char line[256];
    while (commands != nullptr && fgets(line, sizeof line, commands) != nullptr) {
        char word[32] = "";
        char arg[32] = "";
        double number = 0;
        int fields = sscanf(line, "%31s %31s %lf", word, arg, &number);
        if (fields < 1)
            continue;
        std::string cmd = word;
        if (cmd == "wait" && fields == 3) {
            wait_state(arg, number);
        } else if (cmd == "enqueue") {
            produce(atoi(arg), 0);
        } else if (cmd == "paced" && fields == 3) {
            produce(atoi(arg), static_cast<long>(number));
        } else if (cmd == "mimic") {
            char metrics[256] = "";
            char status[256] = "";
            if (sscanf(line, "%*s %255s %255s", metrics, status) == 2) {
                mimic(metrics, "bare@metrics", std::chrono::seconds(10));
                mimic(status, "bare@status", std::chrono::seconds(30));
            }
            printf("driver: mimic %zu\n", mimics.size());
        } else if (cmd == "exit") {
            break;
        } else {
            printf("driver: unknown command %s\n", word);
        }
    }
    {
        std::lock_guard lock(mimic_lock);
        stopping = true;
        mimic_wake.notify_all();
    }
    for (std::thread &t : mimics)
        t.join();
    lws_cancel_service(context);
    service.join();
    lws_context_destroy(context);
    return 0;
}
