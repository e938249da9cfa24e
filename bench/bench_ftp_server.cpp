// A real FTP server from the test fixtures, for whole-process measurements from the shell:
//
//   bench_ftp_server vsftpd|pyftpdlib FOLDER
//
// serves FOLDER on 127.0.0.1 to anonymous (read-only) and to the test account, prints
// "port N user USER password PASSWORD" and runs until its standard input closes.
#include <cstdio>
#include <iostream>
#include <string>

#include "tests/support/ftp_servers.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s vsftpd|pyftpdlib FOLDER\n", argv[0]);
        return 2;
    }
    using qvex::test::FtpServer;
    auto kind = std::string(argv[1]) == "vsftpd" ? qvex::test::FtpServerKind::Vsftpd
                                                 : qvex::test::FtpServerKind::PyFtpd;
    auto server = qvex::test::StartFtpServer(kind, qvex::test::FtpServerOptions{argv[2], 0});
    if (!server->started()) {
        std::fprintf(stderr, "%s\n", server->problem().c_str());
        return 1;
    }
    std::printf("port %u user %s password %s\n", server->port(), FtpServer::kUser,
                FtpServer::kPassword);
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}
