#include "private_pg.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace korrin_test {

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

}  // namespace

PrivatePg::PrivatePg(bool own_instance)
    : dir_("/tmp/vantrel-pg-korrin-" + std::to_string(::getpid())),
      script_(std::string(KORRIN_SOURCE_ROOT) + "/scripts/pg-private.sh") {
    if (!own_instance && !env("PGHOST").empty() && !env("PGPASSWORD").empty()) {
        const auto server = vantrel::test::pg_server();
        cfg_.host = server.host;
        cfg_.port = server.port;
        cfg_.user = server.user;
        cfg_.password = server.password;
        cfg_.dbname = env("PGDATABASE").empty() ? "tsdb_default" : env("PGDATABASE");
        ok_ = true;
        return;
    }
    own_ = true;
    std::string out;
    if (run("start", &out) != 0) {
        why_ = "scripts/pg-private.sh start failed";
        return;
    }
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        auto eq = line.find('=');
        if (!line.starts_with("export ") || eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(7, eq - 7);
        const std::string value = line.substr(eq + 1);
        if (key == "PGHOST") {
            cfg_.host = value;
        } else if (key == "PGPORT") {
            cfg_.port = std::stoi(value);
        } else if (key == "PGUSER") {
            cfg_.user = value;
        } else if (key == "PGPASSWORD") {
            cfg_.password = value;
        } else if (key == "PGDATABASE") {
            cfg_.dbname = value;
        }
    }
    ok_ = !cfg_.host.empty() && !cfg_.password.empty();
    if (!ok_) {
        why_ = "no connection settings from scripts/pg-private.sh";
    }
}

PrivatePg::~PrivatePg() {
    if (own_) {
        run("destroy");
    }
}

std::string PrivatePg::conninfo() const {
    return "host=" + cfg_.host + " port=" + std::to_string(cfg_.port) + " user=" + cfg_.user +
           " password=" + cfg_.password + " dbname=" + cfg_.dbname;
}

void PrivatePg::restart() {
    if (own_) {
        run("restart");
    }
}

void PrivatePg::stop() {
    if (own_) {
        run("stop");
    }
}

void PrivatePg::start() {
    if (own_) {
        run("start");
    }
}

int PrivatePg::run(const std::string& command, std::string* out) const {
    const std::string line =
        "VANTREL_PG_DIR=" + dir_ + " " + script_ + " " + command + " 2>/dev/null";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 512> buf{};
    while (std::fgets(buf.data(), buf.size(), pipe) != nullptr) {
        if (out != nullptr) {
            *out += buf.data();
        }
    }
    return ::pclose(pipe);
}

std::string rows_since_query(const std::vector<std::int64_t>& tag_ids, const std::string& since) {
    std::string list;
    for (auto id : tag_ids) {
        list += (list.empty() ? "" : ",") + std::to_string(id);
    }
    return "SELECT count(*) FROM chronq.tsdata WHERE tag_id IN (" + list + ") AND time >= '" +
           since + "'";
}

long rows_since(const std::string& conninfo, const std::vector<std::int64_t>& tag_ids,
                const std::string& since) {
    const auto count = query_one(conninfo, rows_since_query(tag_ids, since));
    return count ? std::stol(*count) : -1;
}

}  // namespace korrin_test
