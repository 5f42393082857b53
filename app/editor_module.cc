#include "app/editor_module.h"

#include <string>

#include "core/catalog.h"
#include "core/log.h"
#include "core/strutil.h"

#ifndef WP_EDITOR_MODULE
#define WP_EDITOR_MODULE ""
#endif

int editor_module_paths(char out[3][WP_PATH_MAX]) {
    int n = 0;
    const char* env = pf_getenv("WRENPOST_EDITOR_MODULE");
    if (env != nullptr && env[0] != '\0') {
        str_copy(out[n++], env, WP_PATH_MAX);
        return n;  // told where it is: nowhere else
    }
    char exe[WP_PATH_MAX];
    if (pf_self_exe(exe, sizeof exe) == 0) {
        // The directory part, as path_join expects it.
        size_t cut = 0;
        for (size_t i = 0; exe[i] != '\0'; ++i)
            if (exe[i] == '/' || exe[i] == '\\') cut = i;
        exe[cut] = '\0';
#ifdef _WIN32
        path_join(out[n++], exe, "wrenpost-editor.dll");
#else
        path_join(out[n++], exe, "wrenpost-editor.so");
#endif
    }
    if (WP_EDITOR_MODULE[0] != '\0') str_copy(out[n++], WP_EDITOR_MODULE, WP_PATH_MAX);
    return n;
}

ExitCode editor_module_start(const CmdLine& cl) {
    char paths[3][WP_PATH_MAX];
    int n = editor_module_paths(paths);
    std::string err = "no place to look";
    const char* tried = "";
    for (int i = 0; i < n; ++i) {
        tried = paths[i];
        // A module that is not there is no error yet: the next place may
        // hold it. One that is there but does not load is reported.
        if (!pf_stat(paths[i]).exists) {
            err = "not found";
            continue;
        }
        void* entry = pf_module_entry(paths[i], EDITOR_ENTRY, err);
        if (entry == nullptr) break;
        return static_cast<ExitCode>(reinterpret_cast<EditorEntry>(entry)(cl.argc, cl.argv));
    }
    con_cli();
    lb_start();
    lb_add(m_noeditor);
    lb_add(tried);
    lb_add(": ");
    lb_add(err.c_str());
    lb_flush();
    return EXIT_CONFIG;
}
