// chronq connections.
#pragma once

#include <memory>
#include <stop_token>

#include "chronq/types.h"

namespace chronq {

namespace detail {
struct ConnectionAccess;
}

// One server connection, used by one thread at a time. Each chronq operation on it is atomic
// and committed when it returns, whatever `autocommit` says (see README).
class Connection {
  public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Releases the connection; harmless when called again. Operations afterwards throw
    // ConnectionError.
    void close();
    bool is_closed() const;
    const ConnSettings& settings() const;

    // Opaque outside chronq.
    struct Impl;

  private:
    friend struct detail::ConnectionAccess;
    friend std::unique_ptr<Connection> get_conn(const ConnSettings&, std::stop_token);
    explicit Connection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Opens a connection and creates chronq's schema in the database when it is missing.
// Throws ConnectionError with libpq's message (never the password) on failure.
//
// Once `stop` is requested, any wait on the connection ends within a fraction of a second,
// also while connecting: the statement in flight is cancelled on the server, the connection
// closed and ConnectionError raised; later operations fail the same way. `stop` may be
// requested from any thread.
std::unique_ptr<Connection> get_conn(const ConnSettings& settings, std::stop_token stop = {});

// True while the connection works (answers within the lookup time limit). Never throws.
bool ping(Connection& conn) noexcept;

}  // namespace chronq
