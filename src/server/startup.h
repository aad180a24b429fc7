#pragma once
// Start-up and the accept loop of the server. Returns only on a fatal
// start-up failure, with the process exit code.
namespace server {

int RunServer();

}  // namespace server
