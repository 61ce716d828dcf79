// The check a Kerberos-secured cluster makes of a client: it must hold a valid ticket-granting
// ticket. The stand-in accepts a connection only when the ticket cache holds one.
#pragma once

#include <string>

namespace localhdfs {

struct TicketCheck {
    bool valid = false;
    std::string principal;  // the cache's default principal ("nobody@TEST.LOCAL")
    std::string reason;     // why the cache was refused, when not valid
};

// Looks into the ticket cache `cacheName` (a path, or "TYPE:residual"; empty = KRB5CCNAME or the
// default cache) for an unexpired krbtgt/REALM@REALM ticket.
TicketCheck CheckTicketCache(const std::string& cacheName);

// "hdfs/host.example@REALM" -> "hdfs": the user name a secured cluster derives from a principal.
std::string ShortUserName(const std::string& principal);

}  // namespace localhdfs
