// tavrel-comm: the communication server. Started in its working directory
// with WEB_PATH, ODBCSYSINI and ODBCINI set (see the installation's env file).
#include "server/startup.h"

int main() { return server::RunServer(); }
