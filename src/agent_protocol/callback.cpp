// The protocol callback and the connection attempts.
#include <cstdlib>
#include <memory>
#include <new>

#include "agent_protocol/internal.h"
#include "common/random.h"
#include "log.h"

namespace {

// How often the agent thread looks whether the name lookup has finished.
constexpr lws_usec_t kLookupPollUsec = 10 * LWS_USEC_PER_SEC / 1000;

void reconnect_timer_fired(lws_sorted_usec_list_t *sul) {
    vhost_data *vhd = lws_container_of(sul, vhost_data, reconnect_timer);
    if (vhd->state->stop_requested)
        return;
    if (connect_agent(vhd) != 0)
        reconnect_agent(vhd);
}

// Gives up the lookup under way; its worker may still hang in the resolver, but
// touches nothing of ours any more.
void lookup_cancel(vhost_data *vhd) {
    lws_sul_cancel(&vhd->lookup_timer);
    vhd->lookup.reset();
}

// The connection goes to the address found, while the name stays in the Host header,
// the server name indication and the certificate's name check.
lws *connect_to_address(vhost_data *vhd, const char *address) {
    lws_client_connect_info info{};
    info.context = vhd->context;
    info.vhost = vhd->vhost;
    info.address = address;
    info.host = vhd->url->host;
    info.port = vhd->url->port;
    info.path = vhd->url->path;
    // TLS whatever the scheme says; an expired certificate is accepted, every other
    // check stays on.
    info.ssl_connection = LCCSCF_USE_SSL | LCCSCF_ALLOW_EXPIRED;
    info.protocol = kProtocolName;
    info.ietf_version_or_minus_one = -1;
    return lws_client_connect_via_info(&info);
}

void lookup_timer_fired(lws_sorted_usec_list_t *sul) {
    vhost_data *vhd = lws_container_of(sul, vhost_data, lookup_timer);
    if (vhd->state->stop_requested) {
        lookup_cancel(vhd);
        return;
    }
    char address[64];
    int found = host_lookup_result(*vhd->lookup, address, sizeof address);
    if (found == 0) {
        lws_sul_schedule(vhd->context, 0, &vhd->lookup_timer, lookup_timer_fired, kLookupPollUsec);
        return;
    }
    lookup_cancel(vhd);
    // A name that does not resolve is a failed attempt like any other.
    if (found < 0 || connect_to_address(vhd, address) == nullptr) {
        LOG_ERROR("Failed to create lws connection\n");
        reconnect_agent(vhd);
    }
}

// The connection failed or closed: try again later, or let the loop end when a stop
// is under way.
void link_lost(vhost_data *vhd) {
    if (vhd->state->stop_requested) {
        lws_sul_cancel(&vhd->reconnect_timer);
        lookup_cancel(vhd);
        vhd->state->service_running = false;
    } else {
        reconnect_agent(vhd);
    }
}

int protocol_init(lws *wsi, const void *in) {
    void *memory =
        lws_protocol_vh_priv_zalloc(lws_get_vhost(wsi), lws_get_protocol(wsi), sizeof(vhost_data));
    if (memory == nullptr) {
        LOG_ERROR("Failed to initialize protocol vhd\n");
        return -1;
    }
    auto *vhd = new (memory) vhost_data{};
    vhd->context = lws_get_context(wsi);
    vhd->vhost = lws_get_vhost(wsi);
    vhd->protocol = lws_get_protocol(wsi);
    vhd->service_thread = pthread_self();

    const auto *options = static_cast<const lws_protocol_vhost_options *>(in);
    const lws_protocol_vhost_options *url = lws_pvo_search(options, "server_url");
    const lws_protocol_vhost_options *state = lws_pvo_search(options, "state");
    if (url == nullptr || state == nullptr) {
        LOG_ERROR("Failed to initialize protocol vhd\n");
        return -1;
    }
    vhd->url = reinterpret_cast<const parsed_url *>(url->value);
    vhd->state = reinterpret_cast<agent_state_t *>(const_cast<char *>(state->value));

    if (connect_agent(vhd) != 0)
        reconnect_agent(vhd);
    return 0;
}

}  // namespace

size_t agent_conn_data_size() {
    return sizeof(conn_data);
}

int reconnect_delay_seconds() {
    return static_cast<int>(random_below(kReconnectSpread));
}

int connect_agent(vhost_data *vhd) {
    lookup_cancel(vhd);
    vhd->lookup = host_lookup_start(vhd->url->host);
    if (vhd->lookup == nullptr) {
        LOG_ERROR("Failed to create lws connection\n");
        return -1;
    }
    lws_sul_schedule(vhd->context, 0, &vhd->lookup_timer, lookup_timer_fired, kLookupPollUsec);
    return 0;
}

void reconnect_agent(vhost_data *vhd) {
    int delay = reconnect_delay_seconds();
    LOG_INFO("Trying to reconnect in %ds\n", delay);
    lws_sul_schedule(vhd->context, 0, &vhd->reconnect_timer, reconnect_timer_fired,
                     delay * LWS_USEC_PER_SEC);
}

int velmora_agent_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in,
                           size_t len) {
    auto *vhd = wsi == nullptr ? nullptr
                               : static_cast<vhost_data *>(lws_protocol_vh_priv_get(
                                     lws_get_vhost(wsi), lws_get_protocol(wsi)));
    if (vhd != nullptr && vhd->state == nullptr)
        vhd = nullptr;  // its initialisation failed
    auto *conn = static_cast<conn_data *>(user);

    switch (reason) {
        case LWS_CALLBACK_PROTOCOL_INIT:
            return protocol_init(wsi, in);

        case LWS_CALLBACK_PROTOCOL_DESTROY:
            if (vhd != nullptr) {
                lws_sul_cancel(&vhd->reconnect_timer);
                lookup_cancel(vhd);
            }
            return 0;

        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
            LOG_WARN("Agent connection error - %s\n",
                     in != nullptr ? static_cast<const char *>(in) : "(null)");
            if (vhd == nullptr)
                return 0;
            vhd->state->connected = false;
            vhd->state->authenticated = false;
            link_lost(vhd);
            return 0;

        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            if (vhd == nullptr || conn == nullptr)
                return -1;
            vhd->state->connected = true;
            // The compressor is made afresh for every message (no context takeover):
            // the smallest hash table keeps that set-up to a few hundred bytes, and
            // the output is the same deflate stream for the service to inflate.
            (void)lws_set_extension_option(wsi, "permessage-deflate", "mem_level", "1");
            conn = new (user) conn_data();
            if (conn_open(conn, wsi, vhd) != 0)
                return -1;
            lws_callback_on_writable(wsi);
            return 0;

        case LWS_CALLBACK_CLIENT_RECEIVE:
            if (conn == nullptr || !conn->open)
                return 0;
            if (lws_is_first_fragment(wsi))
                inc_msg_reset(conn);
            inc_msg_append_fragment(in, len, conn);
            if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) != 0)
                return 0;
            if (decode_message(vhd, conn) != 0)
                return -1;
            inc_msg_reset(conn);
            return 0;

        case LWS_CALLBACK_CLIENT_WRITEABLE:
            if (vhd == nullptr || conn == nullptr || !conn->open)
                return 0;
            return handle_writable(vhd, conn);

        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            // One callback may stand for several wakes; never return non-zero here.
            if (vhd == nullptr)
                return 0;
            if (vhd->state->stop_requested) {
                if (vhd->state->connected && active_conn != nullptr)
                    lws_callback_on_writable(active_conn->wsi);  // closes it
                else
                    link_lost(vhd);
            } else if (active_conn != nullptr && conn_has_waiting(active_conn)) {
                lws_callback_on_writable(active_conn->wsi);  // something was queued
            }
            return 0;

        case LWS_CALLBACK_CLIENT_CLOSED:
            if (vhd == nullptr)
                return 0;
            vhd->state->connected = false;
            vhd->state->authenticated = false;
            if (conn != nullptr) {
                conn_close(conn);
                std::destroy_at(conn);
            }
            link_lost(vhd);
            return 0;

        default:
            return 0;
    }
}
