// The console as a systemd service: what it tells a notify socket (readiness, the watchdog),
// and the example units read together with the example config.ini as the README has the
// operator edit it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ini.h"
#include "common/ini_edit.h"
#include "console_test_support.h"
#include "fakes.h"
#include "korrin/settings.h"
#include "notify_socket.h"
#include "pellumar/pellumar.h"

namespace {

using namespace pellumar_test;
using vantrel::pellumar::Pellumar;
using vantrel::pellumar::PellumarDeps;
using vantrel::pellumar::ProcessExit;
using Lines = std::vector<std::string>;

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ServiceNotify : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef VANTREL_HAVE_SYSTEMD
        GTEST_SKIP() << "built without libsystemd: the console does not notify systemd";
#endif
        log_dir();
        write_file(dir / "tags.csv", "FullTagName,Description\nDemo.Tag1,one\nDemo.Tag2,two\n");
        write_file(dir / "config.ini",
                   "[TSDBConnection]\nhost = db\n[Vantrel]\ntag_csv_path = " +
                       (dir / "tags.csv").string() +
                       "\nopc_schema = opc.da://localhost/Vantrel.Simulation.1\n"
                       "opc_type = OPC DA\ncollection_interval = 0.02\n");
    }

    // Runs the console; each pass of its loop hands the messages so far to `pass`, which says
    // when to send SIGTERM. Every message, in order of arrival, is returned.
    Lines run(const std::shared_ptr<ReadGate>& gate,
              const std::function<bool(int pass, const Lines& so_far)>& pass) {
        NotifySocket socket(dir / "notify.sock");
        auto got = std::make_shared<Lines>();
        PellumarDeps deps;
        deps.tsdb_client = std::make_shared<FakeTsdbClient>();
        deps.opc_library_factory = fake_opc_factory(false, gate);
        deps.wait = [&, got, passes = 0](std::chrono::milliseconds) mutable -> std::optional<int> {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (auto& m : socket.take()) {
                got->push_back(std::move(m));
            }
            // A run that never gets what it waits for still ends, and fails below.
            if (pass(++passes, *got) || passes > 3000) {
                return 15;
            }
            return std::nullopt;
        };
        Pellumar console(dir.path(), std::move(deps));
        EXPECT_THROW(console.run(), ProcessExit);
        cycles = console.collector() ? console.collector()->cycles_completed.load() : 0;
        for (auto& m : socket.take()) {
            got->push_back(std::move(m));
        }
        return *got;
    }

    static long count(const Lines& lines, const std::string& text) {
        return std::count(lines.begin(), lines.end(), text);
    }

    TempDir dir;
    std::uint64_t cycles = 0;
};

TEST_F(ServiceNotify, ReadyWhenCollectingThenOnePetPerCompletedCycleThenStopping) {
    const Lines got =
        run(nullptr, [](int, const Lines& so_far) { return count(so_far, "WATCHDOG=1") >= 3; });
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "READY=1");
    EXPECT_EQ(count(got, "READY=1"), 1);
    EXPECT_GE(count(got, "WATCHDOG=1"), 3);
    // Never more pets than cycles: a pet stands for a cycle that came back.
    EXPECT_LE(static_cast<std::uint64_t>(count(got, "WATCHDOG=1")), cycles);
    EXPECT_EQ(got.back(), "STOPPING=1");
}

TEST_F(ServiceNotify, HungLoopStopsThePetsUntilItsCycleCompletes) {
    auto gate = std::make_shared<ReadGate>();
    Lines while_held;
    const Lines got = run(gate, [&](int pass, const Lines& so_far) {
        // The main loop goes on while the collector's first read is held: its passes alone
        // must not pet the watchdog.
        if (pass == 25) {
            while_held = so_far;
            gate->open();
        }
        return pass > 25 && count(so_far, "WATCHDOG=1") >= 1;
    });
    EXPECT_EQ(while_held, Lines{"READY=1"});
    EXPECT_GE(count(got, "WATCHDOG=1"), 1) << "the cycle that came back pets again";
}

// --- The example units with the example config.ini ---

struct Unit {
    std::string text;
    std::multimap<std::string, std::string> service;  // [Service] key -> each value
    std::string first(const std::string& key) const {
        const auto it = service.find(key);
        return it == service.end() ? std::string() : it->second;
    }
    std::vector<std::string> words(const std::string& key) const {
        std::vector<std::string> out;
        for (auto [it, end] = service.equal_range(key); it != end; ++it) {
            std::istringstream in(it->second);
            for (std::string w; in >> w;) {
                out.push_back(w);
            }
        }
        return out;
    }
};

// The unit as systemd would expand it for `instance` (%i).
Unit read_unit(const std::string& name, const std::string& instance) {
    Unit unit;
    unit.text = read_text(fs::path(PELLUMAR_EXAMPLES_DIR) / name);
    for (std::size_t at; (at = unit.text.find("%i")) != std::string::npos;) {
        unit.text.replace(at, 2, instance);
    }
    std::istringstream in(unit.text);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("[")) {
            section = line;
        } else if (section == "[Service]" && !line.starts_with("#") &&
                   line.find('=') != line.npos) {
            const auto eq = line.find('=');
            unit.service.emplace(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return unit;
}

// The ```ini blocks of the README's install section, in order, as values to set.
std::vector<std::vector<vantrel::common::IniValue>> readme_service_settings() {
    const std::string readme =
        read_text(fs::path(PELLUMAR_EXAMPLES_DIR).parent_path() / "README.md");
    const auto begin = readme.find("## Installing, and the console as a service");
    const auto end = readme.find("\n## ", begin + 1);
    std::vector<std::vector<vantrel::common::IniValue>> blocks;
    for (auto at = readme.find("```ini\n", begin); at < end; at = readme.find("```ini\n", at + 1)) {
        const auto close = readme.find("```\n", at + 7);
        const auto ini = vantrel::common::IniFile::read_text(readme.substr(at + 7, close - at - 7));
        auto& block = blocks.emplace_back();
        for (const auto& section : ini.sections()) {
            for (const auto& key : ini.options(section)) {
                block.push_back({section, key, ini.get_raw(section, key).value_or("")});
            }
        }
    }
    return blocks;
}

bool inside(const fs::path& path, const fs::path& folder) {
    const auto rel = path.lexically_normal().lexically_relative(folder.lexically_normal());
    return !rel.empty() && *rel.begin() != "..";
}

// Checks one unit: it is a notify service with a watchdog that outlasts the collector's longest
// quiet spell, and every folder the collector writes, as the example config.ini and the
// README's lines place it, is one the sandbox leaves writable.
void check_unit(const Unit& unit, const std::vector<vantrel::common::IniValue>& edits) {
    EXPECT_EQ(unit.first("Type"), "notify");
    EXPECT_EQ(unit.first("Restart"), "on-failure");
    EXPECT_EQ(unit.first("ProtectSystem"), "strict") << "else the check below says little";

    // Where the console finds config.ini: --config-dir, else the prefix above bin/.
    const auto exec = unit.words("ExecStart");
    ASSERT_FALSE(exec.empty());
    fs::path config_dir = fs::path(exec[0]).parent_path().parent_path();
    const auto option = std::find(exec.begin(), exec.end(), "--config-dir");
    if (option != exec.end()) {
        ASSERT_NE(option + 1, exec.end());
        config_dir = *(option + 1);
    }
    const fs::path work_dir = unit.first("WorkingDirectory");
    ASSERT_TRUE(work_dir.is_absolute());

    std::vector<fs::path> writable;
    for (const auto& d : unit.words("StateDirectory")) {
        writable.push_back(fs::path("/var/lib") / d);
    }
    for (const auto& d : unit.words("LogsDirectory")) {
        writable.push_back(fs::path("/var/log") / d);
    }
    for (const auto& d : unit.words("ReadWritePaths")) {
        writable.push_back(d);
    }
    const auto is_writable = [&](const fs::path& p) {
        return std::any_of(writable.begin(), writable.end(),
                           [&](const fs::path& w) { return p == w || inside(p, w); });
    };

    const std::string example = read_text(fs::path(PELLUMAR_EXAMPLES_DIR) / "config.ini");
    const auto ini =
        vantrel::common::IniFile::read_text(vantrel::common::set_ini_values(example, edits));
    const auto settings = vantrel::korrin::read_settings(
        ini, {.config_dir = config_dir, .strictness = vantrel::korrin::Strictness::desktop});
    const fs::path log = work_dir / settings.logging.log_dir;
    const fs::path tags = work_dir / ini.get("Vantrel", "tag_csv_path", "");
    EXPECT_TRUE(is_writable(settings.store.buffer_dir)) << settings.store.buffer_dir;
    EXPECT_TRUE(is_writable(settings.security.pki_dir)) << settings.security.pki_dir;
    EXPECT_TRUE(is_writable(log)) << log;
    // The tag list stays with the configuration, which the service only reads.
    EXPECT_TRUE(inside(tags, config_dir)) << tags;
    // Writable folders of one collector are its own: two units never share a buffer.
    EXPECT_FALSE(inside(settings.store.buffer_dir, config_dir));

    // The unit's own instructions name the same lines as the README.
    for (const auto& edit : edits) {
        if (edit.key != "prefix") {
            EXPECT_NE(unit.text.find(edit.key + " = " + edit.value), std::string::npos)
                << edit.key << " = " << edit.value;
        }
    }

    // The loop completes a cycle at least every interval plus the 60 s pause after errors (and
    // a connect attempt): a shorter watchdog would restart a collector that only waits for its
    // OPC server.
    const double watchdog = std::stod(unit.first("WatchdogSec"));
    EXPECT_GE(watchdog, ini.get_real("Vantrel", "collection_interval", 1.0) + 90.0);
}

TEST(ServiceUnits, SandboxLeavesEverythingTheCollectorWritesWritable) {
    const auto blocks = readme_service_settings();
    ASSERT_EQ(blocks.size(), 2u) << "the README's install section shows one block per unit";
    {
        SCOPED_TRACE("pellumar.service");
        check_unit(read_unit("pellumar.service", ""), blocks[0]);
    }
    {
        SCOPED_TRACE("pellumar@.service");
        const auto unit = read_unit("pellumar@.service", "plant1");
        EXPECT_EQ(unit.first("WorkingDirectory"), "/etc/vantrel/plant1");
        check_unit(unit, blocks[1]);
    }
}

}  // namespace
