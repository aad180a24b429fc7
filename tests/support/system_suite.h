#pragma once
// One server for a whole suite; for the suites that link to a system, its
// link pointed at a free pair of ports, where a suite either keeps one
// simulated system for all its tests or lets each test start the system
// (with the faults it needs) itself.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "support/comm_server.h"
#include "support/simulated_system.h"
#include "support/wire_helpers.h"

namespace testsupport {

// One server for a whole suite.
class ServerSuite : public ::testing::Test {
 protected:
  // For SetUpTestSuite: the server with `users` (id, password).
  static void LaunchWith(std::vector<std::pair<std::string, std::string>> users, int infoLevel = 2) {
    server_ = LaunchServer({.users = std::move(users), .infoLevel = infoLevel});
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { ASSERT_TRUE(server_ && server_->running()) << (server_ ? server_->Console() : ""); }

  // Columns of `user`'s row of the user table, as text.
  static std::string UserField(const std::string& user, const std::string& column = "connect_state") {
    auto row = server_->UserRow(user);
    return row ? (*row)[column] : "<no row>";
  }
  static std::vector<std::string> UserFields(const std::string& user, std::vector<std::string> columns) {
    for (std::string& column : columns) column = UserField(user, column);
    return columns;
  }
  static inline std::unique_ptr<CommServer> server_;
};

// A server whose system link points at a free pair of ports.
class SystemSuite : public ServerSuite {
 protected:
  // For SetUpTestSuite: the server with `users` (password "pw"); with
  // `system`, a simulated system of those options serves the whole suite.
  static void Launch(const std::vector<std::string>& users, int infoLevel = 9, const sim::Options* system = nullptr) {
    sim::Options options = system ? *system : sim::Options{};
    SimulatedSystem started = StartSimulatedSystem(options);
    if (!started) return;
    port_ = options.basePort;
    if (system) system_ = std::move(started);
    ServerOptions server;
    server.infoLevel = infoLevel;
    server.users.clear();
    for (const std::string& user : users) server.users.emplace_back(user, "pw");
    server_ = LaunchServerForSystem(server, port_);
  }
  static void TearDownTestSuite() {
    server_.reset();
    system_.reset();
    port_ = 0;
  }
  void SetUp() override {
    ASSERT_NE(port_, 0);
    ServerSuite::SetUp();
  }

  // A simulated system of `options` on the suite's ports.
  static SimulatedSystem StartSystem(sim::Options options) {
    options.basePort = port_;
    std::string error;
    if (auto system = StartSimulatedSystemAt(options, error)) return system;
    ADD_FAILURE() << options.address << ": " << error;
    return nullptr;
  }

  static std::string WorkDbPath(const Exchange& connect) {
    return server_->commDir() + "/DB_WEB/" + FieldAt(connect.answer.data, 0, 52) + ".mdb";
  }
  static int Unlink(const std::string& user) { return CallOnce(*server_, user, Disconnect()).answer.result(); }

  static inline std::uint16_t port_ = 0;
  static inline SimulatedSystem system_;  // the suite's own, when it keeps one
};

}  // namespace testsupport
