// A real FTP server from the test fixtures, for whole-process measurements from the shell:
//
//   bench_ftp_server vsftpd|pyftpdlib FOLDER [CERTIFICATE]
//
// serves FOLDER on 127.0.0.1 to anonymous (read-only) and to the test account, prints
// "port N user USER password PASSWORD" and runs until its standard input closes. With a PEM
// file holding a certificate and its key, it offers explicit TLS (AUTH TLS).
#include <cstdio>
#include <iostream>
#include <string>

#include "tests/support/ftp_servers.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s vsftpd|pyftpdlib FOLDER [CERTIFICATE]\n", argv[0]);
        return 2;
    }
    using qvex::test::FtpServer;
    auto kind = std::string(argv[1]) == "vsftpd" ? qvex::test::FtpServerKind::Vsftpd
                                                 : qvex::test::FtpServerKind::PyFtpd;
    qvex::test::FtpServerOptions options{argv[2], 0};
    if (argc == 4) {
        options.tlsCertificate = argv[3];
    }
    auto server = qvex::test::StartFtpServer(kind, options);
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
