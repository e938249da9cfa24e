// Session set-up and data connections against a real pyftpdlib server on loopback:
// connect + login + PWD + QUIT round trips per second, and OpenDataConnection + an empty
// LIST per second in passive and active mode.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/proxy.h"
#include "engine/session.h"
#include "platform/socket.h"
#include "tests/support/ftp_servers.h"

namespace {

using qvex::test::FtpServer;

FtpServer& Server() {
    static std::unique_ptr<FtpServer> server =
        qvex::test::StartFtpServer(qvex::test::FtpServerKind::PyFtpd);
    return *server;
}

qvex::SessionRequest Request() {
    qvex::SessionRequest request;
    request.user = FtpServer::kUser;
    request.password = FtpServer::kPassword;
    request.host = "127.0.0.1";
    request.port = std::to_string(Server().port());
    return request;
}

void BM_ConnectLoginPwdQuit(benchmark::State& state) {
    if (!Server().started()) {
        state.SkipWithError(Server().problem().c_str());
        return;
    }
    for (auto _ : state) {
        qvex::SessionWorker session;
        session.request = Request();
        if (!session.control.Create() || !session.control.SetNoDelay(1) ||
            !session.control.SetBuffer(4096) || !qvex::ConnectControl(session) ||
            !qvex::Login(session)) {
            state.SkipWithError("login failed");
            break;
        }
        (void)qvex::SendCommand(session, "PWD");
        qvex::FtpReply reply;
        (void)qvex::ReadReply(session, reply, false);
        (void)qvex::SendCommand(session, "QUIT");
        (void)qvex::ReadReply(session, reply, false);
        session.control.Close();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectLoginPwdQuit)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_DataConnectionEmptyList(benchmark::State& state) {
    if (!Server().started()) {
        state.SkipWithError(Server().problem().c_str());
        return;
    }
    qvex::SessionWorker session;
    session.request = Request();
    if (!session.control.Create() || !session.control.SetNoDelay(1) ||
        !session.control.SetBuffer(4096) || !qvex::ConnectControl(session) ||
        !qvex::Login(session)) {
        state.SkipWithError("login failed");
        return;
    }
    // An empty folder gives an empty listing.
    (void)Server().PutFolder("empty");
    (void)qvex::SendCommand(session, "CWD", "/empty");
    qvex::FtpReply reply;
    (void)qvex::ReadReply(session, reply, false);
    const bool passive = state.range(0) != 0;
    for (auto _ : state) {
        session.passive = passive ? 1 : 0;
        if (qvex::OpenDataConnection(session, "LIST") != qvex::kDataOpen) {
            state.SkipWithError("no data connection");
            break;
        }
        char buffer[256];
        while (qvex::platform::ReceiveBytes(session.data.handle(), buffer, sizeof buffer) > 0) {
            benchmark::DoNotOptimize(buffer);
        }
        session.data.Close();
        (void)qvex::ReadReply(session, reply, false);
    }
    state.SetItemsProcessed(state.iterations());
    (void)qvex::SendCommand(session, "QUIT");
}
BENCHMARK(BM_DataConnectionEmptyList)
    ->ArgName("passive")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
