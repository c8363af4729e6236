// The plugin's entry point. The host runs the program once to discover it and once per HTTP
// request under CGI; each run writes exactly one reply and ends with status 0.
#include "access.hpp"
#include "platform.hpp"
#include "request.hpp"
#include "text.hpp"

int main(int argc, char** argv) {
    platform_init_stdio();
    if (answer_discovery(argc, argv))
        return 0;
    check_access();

    const char* query = platform_getenv("QUERY_STRING");
    if (query == nullptr)
        query = "";
    char action[ACTION_CAP];
    get_query_val(query, "action", action, sizeof action);
    if (wants_json(query, action))
        serve_json(query, action);
    else
        serve_page();
    return 0;
}
