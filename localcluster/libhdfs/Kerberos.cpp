#include "Kerberos.h"

#include <krb5.h>

#include <ctime>
#include <memory>
#include <type_traits>

namespace localhdfs {

namespace {

// RAII owners of the libkrb5 objects.
struct ContextCloser {
    void operator()(krb5_context context) const { krb5_free_context(context); }
};
using Context = std::unique_ptr<std::remove_pointer_t<krb5_context>, ContextCloser>;

class Cache {
  public:
    Cache(krb5_context context, krb5_ccache cache) : m_context(context), m_cache(cache) {}
    ~Cache() {
        if (m_cache)
            krb5_cc_close(m_context, m_cache);
    }
    Cache(const Cache&) = delete;
    Cache& operator=(const Cache&) = delete;
    krb5_ccache get() const { return m_cache; }

  private:
    krb5_context m_context;
    krb5_ccache m_cache;
};

std::string ErrorText(krb5_context context, krb5_error_code code) {
    const char* message = krb5_get_error_message(context, code);
    std::string text = message ? message : "Kerberos error " + std::to_string(code);
    krb5_free_error_message(context, message);
    return text;
}

std::string DataText(const krb5_data& data) {
    return std::string(data.data ? data.data : "", data.length);
}

// krbtgt/REALM@REALM
bool IsTicketGrantingTicket(const krb5_creds& creds) {
    const krb5_principal server = creds.server;
    if (!server || server->length != 2)
        return false;
    return DataText(server->data[0]) == "krbtgt" &&
           DataText(server->data[1]) == DataText(server->realm);
}

std::string PrincipalName(krb5_context context, krb5_principal principal) {
    char* name = nullptr;
    if (krb5_unparse_name(context, principal, &name) != 0 || !name)
        return std::string();
    std::string text = name;
    krb5_free_unparsed_name(context, name);
    return text;
}

// Java reads a ticket cache path as a file; a bare path therefore means FILE: (also when it holds a
// colon, which libkrb5 would take for a cache type).
std::string CacheNameForLibrary(const std::string& cacheName) {
    if (!cacheName.empty() && cacheName[0] == '/')
        return "FILE:" + cacheName;
    return cacheName;
}

}  // namespace

std::string ShortUserName(const std::string& principal) {
    return principal.substr(0, principal.find_first_of("/@"));
}

TicketCheck CheckTicketCache(const std::string& cacheName) {
    TicketCheck result;
    krb5_context rawContext = nullptr;
    krb5_error_code code = krb5_init_context(&rawContext);
    if (code != 0) {
        result.reason = "cannot initialise Kerberos: error " + std::to_string(code);
        return result;
    }
    Context context(rawContext);

    krb5_ccache rawCache = nullptr;
    code = cacheName.empty()
               ? krb5_cc_default(rawContext, &rawCache)
               : krb5_cc_resolve(rawContext, CacheNameForLibrary(cacheName).c_str(), &rawCache);
    if (code != 0) {
        result.reason = "cannot open ticket cache: " + ErrorText(rawContext, code);
        return result;
    }
    Cache cache(rawContext, rawCache);

    krb5_principal client = nullptr;
    code = krb5_cc_get_principal(rawContext, rawCache, &client);
    if (code != 0) {
        result.reason = "cannot read ticket cache: " + ErrorText(rawContext, code);
        return result;
    }
    result.principal = PrincipalName(rawContext, client);
    krb5_free_principal(rawContext, client);

    krb5_cc_cursor cursor;
    code = krb5_cc_start_seq_get(rawContext, rawCache, &cursor);
    if (code != 0) {
        result.reason = "cannot read ticket cache: " + ErrorText(rawContext, code);
        return result;
    }
    const krb5_timestamp now = static_cast<krb5_timestamp>(time(nullptr));
    bool sawExpired = false;
    krb5_creds creds;
    while (krb5_cc_next_cred(rawContext, rawCache, &cursor, &creds) == 0) {
        if (!krb5_is_config_principal(rawContext, creds.server) && IsTicketGrantingTicket(creds)) {
            // krb5_timestamp is a 32-bit value that wraps in 2038; compare as libkrb5 does.
            if (static_cast<uint32_t>(creds.times.endtime) > static_cast<uint32_t>(now))
                result.valid = true;
            else
                sawExpired = true;
        }
        krb5_free_cred_contents(rawContext, &creds);
        if (result.valid)
            break;
    }
    krb5_cc_end_seq_get(rawContext, rawCache, &cursor);
    if (!result.valid)
        result.reason = sawExpired ? "the ticket-granting ticket has expired"
                                   : "Failed to find any Kerberos tgt";
    return result;
}

}  // namespace localhdfs
