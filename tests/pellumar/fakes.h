// The shared fakes behind Korrin's interfaces, under the short names the console's tests use.
#pragma once

#include <memory>
#include <utility>

#include "fakes/fake_opc_library.h"
#include "fakes/fake_tsdb_client.h"

namespace pellumar_test {

namespace korrin = vantrel::korrin;
using vantrel::test_fakes::FakeOpcScript;
using vantrel::test_fakes::FakeTsdbClient;
using vantrel::test_fakes::ReadGate;

// Every tag reads 1.5 with a Good quality code; the source can be made to fail, reads held.
inline korrin::OpcLibraryFactory fake_opc_factory(bool fail_create = false,
                                                  std::shared_ptr<ReadGate> gate = nullptr) {
    auto script = std::make_shared<FakeOpcScript>();
    script->create_fails = fail_create;
    script->read_gate = std::move(gate);
    return vantrel::test_fakes::fake_factory(std::move(script));
}

}  // namespace pellumar_test
