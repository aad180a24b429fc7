#include "server/status/status_server.h"

#include <httplib.h>

#include "frame/log.h"
#include "server/status/status_report.h"
#include "setup/status_config.h"

namespace status {
namespace {
constexpr const char* kLoopback = "127.0.0.1";
}  // namespace

StatusServer::StatusServer() : http_(std::make_unique<httplib::Server>()) {
  http_->Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(RenderStatusPage(TakeSnapshot()), "text/html; charset=utf-8");
  });
  http_->Get("/status.json", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(RenderStatusJson(TakeSnapshot()), "application/json");
  });
  http_->Get("/metrics", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(RenderMetrics(TakeSnapshot()), "text/plain; version=0.0.4");
  });
  // A page that may be left open for days: nothing in it is worth a cache.
  http_->set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
  });
}

StatusServer::~StatusServer() { Stop(); }

int StatusServer::Start(std::uint16_t port) {
  if (!http_->bind_to_port(kLoopback, port)) return 0;
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  return 1;
}

void StatusServer::Stop() {
  if (!thread_.joinable()) return;
  http_->stop();
  thread_.join();
}

void StartConfiguredStatusServer(const std::string& commDir) {
  int port = setup::ReadStatusPort(commDir);
  if (port == 0) return;
  // Lives as long as the process; stopped by nothing but the process's end.
  static StatusServer server;
  if (server.Start(static_cast<std::uint16_t>(port)) == 1) {
    Console("\nstatus page on 127.0.0.1:%d", port);
  } else {
    LogError(kServerLog, "Socket error", Format("status page: bind to 127.0.0.1:%d failed.", port));
  }
}

}  // namespace status
