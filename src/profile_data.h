// The base sandbox profiles, one per target, kept as data so that the macOS
// text can be checked byte for byte on any host.
#pragma once

#include <string_view>

namespace quellar::profile_data {

// What an ordinary command-line process needs on macOS: the system libraries
// and tools, devices, and the shared caches under /private/var/db.
inline constexpr std::string_view kMacOSBase =
    "(version 1)\n"
    "(import \"system.sb\")\n"
    "(deny default)\n"
    "(allow process-fork)\n"
    "(allow process-exec)\n"
    "(allow signal (target self))\n"
    "(allow sysctl-read)\n"
    "(allow file-read-metadata)\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/System\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/usr\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/bin\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/sbin\"))\n"
    "(allow file-read* file-test-existence (subpath \"/dev\"))\n"
    "(allow file-read* file-test-existence (subpath \"/private/var/db\"))\n";

// The same on Linux: the system trees read-only and executable; from /etc
// only the files a command-line process reads (loader, users, name service,
// time zone, trusted certificates, and git's system configuration, without
// which git refuses to run when the file exists), never /etc as a whole
// (host keys, shadow passwords, service credentials) nor /etc/ssl/private,
// whose keys belong to root and so stay readable by a contained root process;
// the harmless character devices, never /dev as a whole (block devices, the
// kernel's memory); a few global files of /proc, never /proc as a whole
// (other processes' command lines and environments). A symbolic link is
// judged by the file it leads to, so links such as /etc/localtime or
// /etc/alternatives/* into /usr need no rule. A contained run with a PID
// namespace of its own also gets a /proc of its own, which the launcher
// grants for reading; without one, /proc gives only the few global files
// below.
inline constexpr std::string_view kLinuxBase =
    "(version 1)\n"
    "(deny default)\n"
    "(allow process-fork)\n"
    "(allow process-exec)\n"
    "(allow signal (target self))\n"
    "(allow file-read-metadata)\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/usr\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/bin\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/sbin\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/lib\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/lib64\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/lib32\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/ld.so.cache\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/ld.so.conf\"))\n"
    "(allow file-read* file-test-existence (subpath \"/etc/ld.so.conf.d\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/ld.so.preload\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/passwd\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/group\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/nsswitch.conf\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/hosts\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/resolv.conf\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/host.conf\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/gai.conf\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/services\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/protocols\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/localtime\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/timezone\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/locale.alias\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/mime.types\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/gitconfig\"))\n"
    "(allow file-read* file-test-existence (subpath \"/etc/ssl/certs\"))\n"
    "(allow file-read* file-test-existence (literal \"/etc/ssl/openssl.cnf\"))\n"
    "(allow file-read* file-test-existence (subpath \"/etc/ca-certificates\"))\n"
    // Debian's JDKs keep their security configuration here (java.security,
    // the policies); javac and the TLS stack stop without it. Only this
    // part: management/ may hold a JMX password file. One rule per JDK
    // Debian ships.
    "(allow file-read* file-test-existence (subpath \"/etc/java-11-openjdk/security\"))\n"
    "(allow file-read* file-test-existence (subpath \"/etc/java-17-openjdk/security\"))\n"
    "(allow file-read* file-test-existence (subpath \"/etc/java-21-openjdk/security\"))\n"
    "(allow file-read* file-test-existence (subpath \"/etc/java-25-openjdk/security\"))\n"
    "(allow file-read* file-write* (literal \"/dev/null\"))\n"
    "(allow file-read* file-write* (literal \"/dev/zero\"))\n"
    "(allow file-read* file-write* (literal \"/dev/full\"))\n"
    "(allow file-read* file-write* (literal \"/dev/tty\"))\n"
    "(allow file-read* (literal \"/dev/random\"))\n"
    "(allow file-read* (literal \"/dev/urandom\"))\n"
    "(allow file-read* (literal \"/proc/cpuinfo\"))\n"
    "(allow file-read* (literal \"/proc/meminfo\"))\n"
    "(allow file-read* (literal \"/proc/stat\"))\n"
    "(allow file-read* (literal \"/proc/loadavg\"))\n"
    "(allow file-read* (literal \"/proc/uptime\"))\n"
    "(allow file-read* (literal \"/proc/version\"))\n"
    "(allow file-read* (subpath \"/sys/devices/system/cpu\"))\n";

}  // namespace quellar::profile_data
