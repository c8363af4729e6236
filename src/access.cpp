#include "access.hpp"

#include "env.hpp"
#include "platform.hpp"
#include "reply.hpp"

#include <cstdlib>
#include <cstring>

#include "text.hpp"

// The query field "pwd" holds at most 255 characters.
constexpr size_t PWD_FIELD_CAP = 256;

bool password_equal(const char* supplied, const char* expected) {
    size_t supplied_len = strlen(supplied);
    size_t expected_len = strlen(expected);
    // Walk the whole expected text whatever the bytes hold; the length check comes after the
    // loop, so an early exit cannot give away where a difference lies.
    unsigned char diff = 0;
    for (size_t i = 0; i < expected_len; i++) {
        unsigned char s = i < supplied_len ? static_cast<unsigned char>(supplied[i]) : 0;
        diff |= static_cast<unsigned char>(s ^ static_cast<unsigned char>(expected[i]));
    }
    volatile unsigned char result = diff;
    return result == 0 && supplied_len == expected_len;
}

// The token of an Authorization value "Bearer <token>", with spaces allowed before the
// scheme and after it, or nullptr for any other form.
static const char* bearer_token(const char* authorization) {
    const char* p = authorization;
    while (*p == ' ')
        p++;
    if (strncmp(p, "Bearer ", 7) != 0)
        return nullptr;
    p += 7;
    while (*p == ' ')
        p++;
    return p;
}

bool access_granted() {
    const char* node_password = env_value("BOT_PASSWORD");
    if (node_password == nullptr)
        return true;
    const char* header = env_value("HTTP_X_BOT_PASSWORD");
    if (header != nullptr && password_equal(header, node_password))
        return true;
    const char* authorization = env_value("HTTP_AUTHORIZATION");
    if (authorization != nullptr) {
        const char* token = bearer_token(authorization);
        if (token != nullptr && password_equal(token, node_password))
            return true;
    }
    char field[PWD_FIELD_CAP];
    const char* query = platform_getenv("QUERY_STRING");
    if (get_query_val(query, "pwd", field, sizeof field) && password_equal(field, node_password))
        return true;
    return false;
}

void check_access() {
    if (access_granted())
        return;
    write_refusal();
    exit(0);
}
