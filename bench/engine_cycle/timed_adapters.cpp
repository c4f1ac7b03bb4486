#include "timed_adapters.h"

#include <time.h>

#include <utility>

namespace bench {

using namespace vantrel::korrin;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
auto timed(Nanos& total, Nanos& cpu, F&& f) {
    struct Add {
        Nanos& total;
        Nanos& cpu;
        Clock::time_point start = Clock::now();
        Nanos cpu_start = thread_cpu_now();
        ~Add() {
            total += std::chrono::duration_cast<Nanos>(Clock::now() - start);
            cpu += thread_cpu_now() - cpu_start;
        }
    } add{total, cpu};
    return f();
}

class TimedLibrary final : public OpcLibrary {
  public:
    TimedLibrary(std::unique_ptr<OpcLibrary> inner, Stopwatches& w)
        : in_(std::move(inner)), w_(w) {}
    void set_log_level(QEV_LOG_LEVEL level) override { in_->set_log_level(level); }
    OpcSourceHandle create_source(int t, const std::string& s, int ms, int sub) override {
        return in_->create_source(t, s, ms, sub);
    }
    bool is_source_valid(OpcSourceHandle s) override { return in_->is_source_valid(s); }
    std::pair<int, std::vector<OpcValueRecord>> read_values(
        OpcSourceHandle s, std::span<const OpcTagRequest> r) override {
        return timed(w_.read, w_.read_cpu, [&] { return in_->read_values(s, r); });
    }
    void destroy_source(OpcSourceHandle s) override { in_->destroy_source(s); }
    void destroy() override { in_->destroy(); }
    std::vector<OpcServer> discovery(const std::string& h, int p, int t, std::size_t n) override {
        return in_->discovery(h, p, t, n);
    }
    std::string last_error() override { return in_->last_error(); }

  private:
    std::unique_ptr<OpcLibrary> in_;
    Stopwatches& w_;
};

class TimedClient final : public TsdbClient {
  public:
    TimedClient(std::shared_ptr<TsdbClient> inner, Stopwatches& w) : in_(std::move(inner)), w_(w) {}
    std::unique_ptr<TsdbConnection> get_conn(const TsdbConfig& c) override {
        return in_->get_conn(c);
    }
    bool ping(TsdbConnection& c) override { return in_->ping(c); }
    std::vector<std::string> fetch_available_tsdbs(const TsdbConfig& c) override {
        return in_->fetch_available_tsdbs(c);
    }
    std::vector<SourceInfo> get_sources(TsdbConnection& c, const SourceFilter& f) override {
        return in_->get_sources(c, f);
    }
    OperationResult insert_new_source(TsdbConnection& c, SourceInfo& i) override {
        return in_->insert_new_source(c, i);
    }
    std::optional<TagInfo> get_tag(TsdbConnection& c, const std::string& n) override {
        return timed(w_.db, w_.db_cpu, [&] { return in_->get_tag(c, n); });
    }
    OperationResult insert_new_tag(TsdbConnection& c, const TagInfo& t) override {
        return in_->insert_new_tag(c, t);
    }
    OperationResult update_tag_fields(TsdbConnection& c, const std::string& n,
                                      const TagFields& f) override {
        return in_->update_tag_fields(c, n, f);
    }
    std::pair<bool, std::size_t> write_tsdata(TsdbConnection& c, std::span<const std::int64_t> i,
                                              std::span<const Value> v,
                                              std::span<const std::string> q) override {
        return timed(w_.db, w_.db_cpu, [&] { return in_->write_tsdata(c, i, v, q); });
    }

  private:
    std::shared_ptr<TsdbClient> in_;
    Stopwatches& w_;
};

class NullLibrary final : public OpcLibrary {
  public:
    void set_log_level(QEV_LOG_LEVEL) override {}
    OpcSourceHandle create_source(int, const std::string&, int, int) override { return 1; }
    bool is_source_valid(OpcSourceHandle) override { return true; }
    std::pair<int, std::vector<OpcValueRecord>> read_values(
        OpcSourceHandle, std::span<const OpcTagRequest> r) override {
        const auto now = std::chrono::system_clock::now();
        std::vector<OpcValueRecord> out(r.size(), OpcValueRecord{Value(1.25), 0x01C0, now});
        return {0, std::move(out)};
    }
    void destroy_source(OpcSourceHandle) override {}
    void destroy() override {}
    std::vector<OpcServer> discovery(const std::string&, int, int, std::size_t) override {
        return {};
    }
    std::string last_error() override { return {}; }
};

class NullConnection final : public TsdbConnection {
  public:
    void close() override {}
};

class NullClient final : public TsdbClient {
  public:
    std::unique_ptr<TsdbConnection> get_conn(const TsdbConfig&) override {
        return std::make_unique<NullConnection>();
    }
    bool ping(TsdbConnection&) override { return true; }
    std::vector<std::string> fetch_available_tsdbs(const TsdbConfig&) override { return {}; }
    std::vector<SourceInfo> get_sources(TsdbConnection&, const SourceFilter&) override {
        return {};
    }
    OperationResult insert_new_source(TsdbConnection&, SourceInfo&) override { return {}; }
    std::optional<TagInfo> get_tag(TsdbConnection&, const std::string& n) override {
        return TagInfo{.tag_name = n, .tag_id = next_id_++};
    }
    OperationResult insert_new_tag(TsdbConnection&, const TagInfo&) override { return {}; }
    OperationResult update_tag_fields(TsdbConnection&, const std::string&,
                                      const TagFields&) override {
        return {};
    }
    std::pair<bool, std::size_t> write_tsdata(TsdbConnection&, std::span<const std::int64_t> i,
                                              std::span<const Value>,
                                              std::span<const std::string>) override {
        return {true, i.size()};
    }

  private:
    std::int64_t next_id_ = 1;
};

}  // namespace

Nanos thread_cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + Nanos(ts.tv_nsec);
}

OpcLibraryFactory timed_factory(OpcLibraryFactory inner, Stopwatches& watches) {
    return [inner = std::move(inner), &watches]() -> std::unique_ptr<OpcLibrary> {
        return std::make_unique<TimedLibrary>(inner(), watches);
    };
}

std::shared_ptr<TsdbClient> timed_client(std::shared_ptr<TsdbClient> inner, Stopwatches& watches) {
    return std::make_shared<TimedClient>(std::move(inner), watches);
}

OpcLibraryFactory null_factory() {
    return []() -> std::unique_ptr<OpcLibrary> { return std::make_unique<NullLibrary>(); };
}

std::shared_ptr<TsdbClient> null_client() {
    return std::make_shared<NullClient>();
}

}  // namespace bench
