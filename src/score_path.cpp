#include "score_path.hpp"

#include "env.hpp"
#include "platform.hpp"
#include "text.hpp"

#include <cstring>

static constexpr char SCORES_FILE_NAME[] = ".pentra_scores.json";

void path_join(char* out, const char* first, const char* second) {
    if (first[0] == '\0') {
        str_copy(out, PATH_MAX_LEN, second);
        return;
    }
    str_copy(out, PATH_MAX_LEN, first);
    size_t len = strlen(out);
    if (len + 1 >= PATH_MAX_LEN)
        return;
    out[len] = PATH_SEP;
    str_copy(out + len + 1, PATH_MAX_LEN - len - 1, second);
}

#ifdef _WIN32
static constexpr const char* APP_DATA_VAR = "LOCALAPPDATA";
static constexpr const char* PROFILE_VAR = "USERPROFILE";
#else
static constexpr const char* APP_DATA_VAR = "XDG_DATA_HOME";
static constexpr const char* PROFILE_VAR = "HOME";
#endif

// Chooses the per-user base directory: the application-data folder, else the profile,
// else the current directory.
static void base_dir(char* out) {
    if (const char* app_data = env_value(APP_DATA_VAR))
        path_join(out, app_data, "halvoren");
    else if (const char* profile = env_value(PROFILE_VAR))
        path_join(out, profile, ".halvoren");
    else
        str_copy(out, PATH_MAX_LEN, ".");
}

bool scores_path(char* out) {
    if (const char* file = env_value("HV_PENTRA_SCORES")) {
        str_copy(out, PATH_MAX_LEN, file);
        return true;
    }
    char dir[PATH_MAX_LEN];
    if (const char* plugin_dir = env_value("BOT_PLUGIN_DIR")) {
        str_copy(dir, PATH_MAX_LEN, plugin_dir);
        platform_make_dir(dir);
    } else {
        char base[PATH_MAX_LEN];
        base_dir(base);
        platform_make_dir(base);
        path_join(dir, base, "plugins");
        platform_make_dir(dir);
    }
    path_join(out, dir, SCORES_FILE_NAME);
    return true;
}
