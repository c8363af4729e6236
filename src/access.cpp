#include "access.hpp"

#include "platform.hpp"

#include <cstdlib>
#include <cstring>

#include "text.hpp"

// The query field "pwd" holds at most 255 characters.
constexpr size_t PWD_FIELD_CAP = 256;

static const char REFUSAL[] = "Status: 401 Unauthorized\r\n"
                              "Content-Type: application/json; charset=utf-8\r\n"
                              "Cache-Control: no-store\r\n"
                              "\r\n"
                              "{\"ok\":false,\"error\":\"invalid node password\"}\n";

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

static bool is_set(const char* value) {
    return value != nullptr && value[0] != '\0';
}

bool access_granted() {
    const char* node_password = platform_getenv("BOT_PASSWORD");
    if (!is_set(node_password))
        return true;
    const char* header = platform_getenv("HTTP_X_BOT_PASSWORD");
    if (is_set(header) && password_equal(header, node_password))
        return true;
    const char* authorization = platform_getenv("HTTP_AUTHORIZATION");
    if (is_set(authorization)) {
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
    platform_write_stdout(REFUSAL, sizeof REFUSAL - 1);
    exit(0);
}
