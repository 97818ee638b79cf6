// A PostgreSQL server of the test's own: initdb and pg_ctl in a temporary folder, run as an
// unprivileged user when the test runs as root (the server refuses root), listening on a Unix
// socket in that folder only. Stopped by the destructor, also when a test failed; Stop and Start
// take it away and bring it back in the middle of a test.
//
//   CPgServer server;
//   if (!server.Started()) GTEST_SKIP() << server.Problem();
//   OpenRecordStore(server.Url(), error);
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class CPgServer {
public:
    CPgServer() {
        for (const char* dir :
             {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin", "/usr/local/bin", "/usr/bin"}) {
            const std::string initdb = std::string(dir) + "/initdb";
            if (::access(initdb.c_str(), X_OK) == 0 &&
                ::access((std::string(dir) + "/pg_ctl").c_str(), X_OK) == 0) {
                m_bin = dir;
                break;
            }
        }
        if (m_bin.empty()) {
            m_problem = "no PostgreSQL server programs (initdb, pg_ctl) are installed: scripts/setup-deps "
                        "installs them";
            return;
        }
        char dir[] = "/tmp/vandrel-pg-XXXXXX";
        if (!::mkdtemp(dir)) {
            m_problem = "cannot make a temporary folder";
            return;
        }
        m_dir = dir;
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody || ::chown(dir, nobody->pw_uid, nobody->pw_gid) != 0) {
                m_problem = "cannot hand the temporary folder to the user nobody";
                return;
            }
            m_as = "runuser -u nobody -- ";
        }
        ::chmod(dir, 0755);
        m_port = 20000 + static_cast<int>(::getpid() % 20000);
        const std::string log = m_dir + "/initdb.log";
        if (Run(m_bin + "/initdb -D " + m_dir + "/data -A trust -U vandrel -E UTF8 --no-sync > " + log +
                " 2>&1") != 0) {
            m_problem = "initdb failed (see " + log + ")";
            return;
        }
        if (!Start()) {
            m_problem = "the server did not start (see " + m_dir + "/server.log)";
        }
    }
    // The server stopped as an administrator stops it (every session ended, "fast"), and started
    // again on the same folder and socket.
    bool Stop() {
        m_started = !(Run(m_bin + "/pg_ctl -D " + m_dir + "/data -m fast -w stop > /dev/null 2>&1") == 0);
        return !m_started;
    }
    bool Start() {
        if (m_started) {
            return true;
        }
        const std::string options =
            "-k " + m_dir + " -p " + std::to_string(m_port) + " -c listen_addresses= -F";
        m_started = Run(m_bin + "/pg_ctl -D " + m_dir + "/data -o '" + options + "' -w -t 120 -l " + m_dir +
                        "/server.log start > /dev/null 2>&1") == 0;
        return m_started;
    }
    ~CPgServer() {
        if (m_started) {
            Run(m_bin + "/pg_ctl -D " + m_dir + "/data -m immediate -w stop > /dev/null 2>&1");
        }
        if (!m_dir.empty() && (m_started || m_problem.find("see") == std::string::npos)) {
            Run("rm -rf " + m_dir);
        }
    }
    CPgServer(const CPgServer&) = delete;
    CPgServer& operator=(const CPgServer&) = delete;

    bool Started() const { return m_started; }
    const std::string& Problem() const { return m_problem; }
    // A database of its own for a test.
    std::string Url(const std::string& database = "postgres") const {
        return "postgresql:///" + database + "?host=" + m_dir + "&port=" + std::to_string(m_port) +
               "&user=vandrel";
    }
    bool CreateDatabase(const std::string& name) const {
        return Run(m_bin + "/createdb -h " + m_dir + " -p " + std::to_string(m_port) + " -U vandrel " +
                   name) == 0;
    }

private:
    int Run(const std::string& command) const { return std::system((m_as + command).c_str()); }

    std::string m_bin;
    std::string m_dir;
    std::string m_as;
    std::string m_problem;
    int m_port = 0;
    bool m_started = false;
};
