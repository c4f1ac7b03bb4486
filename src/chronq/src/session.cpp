// chronq internals: the bounded waits behind every statement and every connect. Nothing here
// blocks for longer than a short poll slice, so a time limit or a stop request is honoured
// whatever the server does (a held lock, a paused process, a network that went silent).
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "pg.h"

namespace chronq::detail {

namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// How often a wait looks at the stop request.
constexpr milliseconds kSlice{50};

// Establishing a session (TCP, authentication, start-up) may take as long as a write, and at
// least two seconds; the schema check runs afterwards with its own limit.
milliseconds connect_limit(const ConnSettings& settings) {
    return std::max(milliseconds(settings.write_timeout_ms), milliseconds(2000));
}

// Asks the server to cancel the statement running for the session. libpq's cancel request
// opens a connection of its own and then waits for the server to acknowledge, without any
// limit; it runs on a thread of its own so that a paused server cannot hold the caller.
void send_cancel(PGconn* pg) {
    PGcancel* cancel = PQgetCancel(pg);
    if (cancel == nullptr) {
        return;
    }
    try {
        std::thread([cancel] {
            char error[256];
            PQcancel(cancel, error, sizeof error);
            PQfreeCancel(cancel);
        }).detach();
    } catch (const std::system_error&) {
        PQfreeCancel(cancel);  // no thread to be had: closing the session still ends the wait
    }
}

// One slice of waiting on the socket: true when it is ready.
bool poll_once(int fd, short events, milliseconds slice) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(slice.count()));
    if (n < 0 && errno != EINTR) {
        throw ConnectionError(std::string("waiting for the server failed: ") +
                              std::strerror(errno));
    }
    return n > 0;
}

// Waits for `events` on the socket within the deadline; `fail` ends the wait otherwise.
template <class Fail>
void wait_for(PGconn* pg, short events, const std::stop_token& stop, Deadline deadline, Fail fail) {
    for (;;) {
        if (stop.stop_requested()) {
            fail("cancelled: the client is stopping");
        }
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            fail("the server did not answer in time");
        }
        const int fd = PQsocket(pg);
        if (fd < 0) {
            fail("the connection has no socket");
        }
        const auto left = std::chrono::ceil<milliseconds>(deadline - now);
        if (poll_once(fd, events, std::min(left, kSlice))) {
            return;
        }
    }
}

}  // namespace

Deadline deadline_for(const ConnSettings& settings, Limit limit) {
    const int ms = limit == Limit::write ? settings.write_timeout_ms : settings.lookup_timeout_ms;
    return SteadyClock::now() + milliseconds(std::max(ms, 1));
}

// A closed session is the one outcome a caller can always recover from: reconnect.
void broken(Connection::Impl& s) {
    throw ConnectionError(error_text(s.pg, nullptr, s.settings), {}, s.write_sent);
}

void give_up(Connection::Impl& s, const std::string& why) {
    if (s.pg != nullptr) {
        // Closing alone would not do: a server process that waits for a lock notices a lost
        // client only when the lock comes, and would then still write.
        send_cancel(s.pg);
        PQfinish(s.pg);
        s.pg = nullptr;
        s.write_prepared = false;
        s.write_at_prepared = false;
    }
    log()->debug("Gave up on the connection to {}: {}", s.settings.dbname, why);
    // The cancel may come after the commit: a write already sent may have landed.
    throw ConnectionError(why + " (statement cancelled, connection closed)", {}, s.write_sent);
}

void wait_socket(Connection::Impl& s, bool for_write, Deadline deadline) {
    wait_for(s.pg, for_write ? POLLOUT : POLLIN, s.stop, deadline,
             [&s](const std::string& why) { give_up(s, why); });
}

void flush_request(Connection::Impl& s, Deadline deadline) {
    for (;;) {
        const int left = PQflush(s.pg);
        if (left == 0) {
            return;
        }
        if (left < 0) {
            broken(s);
        }
        // The server may be sending while we send; read it so that neither side stalls.
        wait_for(s.pg, POLLIN | POLLOUT, s.stop, deadline,
                 [&s](const std::string& why) { give_up(s, why); });
        if (PQconsumeInput(s.pg) == 0) {
            broken(s);
        }
    }
}

Result collect_result(Connection::Impl& s, Deadline deadline) {
    Result kept;
    bool kept_error = false;
    for (;;) {
        while (PQisBusy(s.pg) != 0) {
            wait_socket(s, false, deadline);
            if (PQconsumeInput(s.pg) == 0) {
                if (kept_error) {
                    // The server answered, then closed the session (a terminated backend
                    // says why before it goes): its answer, not the lost session, is the
                    // outcome, and the statement was rolled back.
                    return kept;
                }
                broken(s);
            }
        }
        Result next(PQgetResult(s.pg));
        if (next.get() == nullptr) {
            return kept;
        }
        const auto status = PQresultStatus(next.get());
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) {
            return next;
        }
        const bool error = status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE;
        if (!kept_error) {
            kept = std::move(next);
            kept_error = error;
        }
    }
}

namespace {

// libpq's connection keywords and values for the settings.
std::vector<std::pair<const char*, std::string>> connect_params(const ConnSettings& settings,
                                                                const std::string& dbname) {
    std::vector<std::pair<const char*, std::string>> params;
    if (!settings.host.empty()) {
        params.emplace_back("host", settings.host);
    }
    params.emplace_back("port", std::to_string(settings.port));
    params.emplace_back("user", settings.user);
    // An empty password is left out, so that libpq may still find one in PGPASSWORD or .pgpass.
    if (!settings.password.empty()) {
        params.emplace_back("password", settings.password);
    }
    params.emplace_back("dbname", dbname);
    params.emplace_back("application_name", "chronq");
    const milliseconds limit = connect_limit(settings);
    params.emplace_back("connect_timeout", std::to_string((limit.count() + 999) / 1000));
    params.emplace_back("client_encoding", "UTF8");
    // A peer that vanished without a word is noticed in well under a minute: keep-alives while
    // idle, and a limit on unacknowledged data while sending.
    params.emplace_back("keepalives_idle", "10");
    params.emplace_back("keepalives_interval", "5");
    params.emplace_back("keepalives_count", "3");
    params.emplace_back("tcp_user_timeout", "15000");
    // The server ends a statement on its own if a cancel request never reaches it, and never
    // keeps a transaction open for a client that went away.
    params.emplace_back(
        "options",
        "-c statement_timeout=" + std::to_string(std::max(settings.write_timeout_ms, 1) + 1000) +
            " -c idle_in_transaction_session_timeout=60000");
    return params;
}

// libpq prints the server's notices ("relation ... already exists, skipping") on standard
// error; they belong in the debug log, not on an operator's console at every start.
void notice_to_debug_log(void*, const char* message) {
    std::string_view text(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    log()->debug("PostgreSQL: {}", text);
}

// Drives a started connection until it is established, waiting on its socket in between;
// `fail` ends it otherwise.
template <class Fail>
void await_connected(PGconn* pg, const std::stop_token& stop, Deadline deadline, Fail fail) {
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED) {
            fail("");
        }
        wait_for(pg, state == PGRES_POLLING_READING ? POLLIN : POLLOUT, stop, deadline,
                 [&](const std::string& why) { fail("connecting: " + why); });
        state = PQconnectPoll(pg);
    }
}

}  // namespace

void open_session(Connection::Impl& s, const std::string& dbname) {
    const auto params = connect_params(s.settings, dbname);
    std::vector<const char*> keys;
    std::vector<const char*> values;
    for (const auto& [key, value] : params) {
        keys.push_back(key);
        values.push_back(value.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);

    // expand_dbname = 0: a database name is only a name, never a connection string.
    PGconn* pg = PQconnectStartParams(keys.data(), values.data(), 0);
    if (pg == nullptr) {
        throw ConnectionError("out of memory while opening a PostgreSQL connection");
    }
    PQsetNoticeProcessor(pg, notice_to_debug_log, nullptr);
    // Closes the half-open connection; an empty reason means libpq's own.
    const auto fail = [&](const std::string& why) {
        std::string msg = why.empty() ? error_text(pg, nullptr, s.settings) : why;
        PQfinish(pg);
        throw ConnectionError(msg);
    };
    if (PQstatus(pg) == CONNECTION_BAD) {
        fail("");
    }
    await_connected(pg, s.stop, SteadyClock::now() + connect_limit(s.settings), fail);
    if (PQsetnonblocking(pg, 1) != 0) {
        fail("");
    }
    s.pg = pg;
}

}  // namespace chronq::detail
