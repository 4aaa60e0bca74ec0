/*
 * A host program of brellock-synology-downloadstation: lists the download
 * tasks with their progress, adds a URL and lists them again; with
 * --pause-all it also pauses every task (all of the station's, not only
 * the one it added).
 *
 *   DS_HOST=nas.local DS_USER=admin DS_PASSWORD=secret ./tasks [--pause-all] [URL]
 *
 * DS_HOST defaults to 127.0.0.1, DS_PORT to 5000, DS_USER to admin; the URL
 * to https://example.org/downloads/demo.iso. Exits with 1 and the library's
 * message after a failure, 2 after a usage error.
 */
#include "synology_ds.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The members of a task record that this program shows. */
struct task {
    char id[64];
    char status[32];
    char title[256];
    double progress;
};

static const char *setting(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value && *value ? value : fallback;
}

static int failed(const char *what)
{
    fprintf(stderr, "tasks: %s failed: %s\n", what, ds_last_error());
    ds_disconnect();
    return 1;
}

/*
 * A JSON string from just after its opening quote, its escapes decoded, into
 * out (cut to size); returns what follows the closing quote. The library
 * writes text as UTF-8 and escapes only the quote, the backslash and control
 * characters, so \uXXXX stands for a byte below 0x20 here.
 */
static const char *read_string(const char *p, char *out, size_t size)
{
    size_t n = 0;
    while (*p && *p != '"') {
        char c = *p++;
        if (c == '\\' && *p) {
            c = *p++;
            switch (c) {
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'u': {
                char hex[5] = "";
                strncat(hex, p, 4);
                c = (char)strtol(hex, NULL, 16);
                p += strlen(hex);
                break;
            }
            default: break; /* \" \\ \/ stand for themselves */
            }
        }
        if (n + 1 < size) out[n++] = c;
    }
    out[n] = '\0';
    return *p ? p + 1 : p;
}

/*
 * The next task of a JSON array of task records, from p (at "[", "," or
 * "]"); returns what follows it, or NULL after the last one. A record is a
 * flat object: its values are strings and numbers, never objects or arrays.
 */
static const char *next_task(const char *p, struct task *task)
{
    char key[32], unused[8];
    if (*p != '[' && *p != ',') return NULL;
    if (*++p != '{') return NULL;
    memset(task, 0, sizeof *task);
    ++p;
    while (*p == '"') {
        p = read_string(p + 1, key, sizeof key);
        if (*p++ != ':') return NULL;
        if (*p == '"') {
            if (strcmp(key, "id") == 0) p = read_string(p + 1, task->id, sizeof task->id);
            else if (strcmp(key, "status") == 0) p = read_string(p + 1, task->status, sizeof task->status);
            else if (strcmp(key, "title") == 0) p = read_string(p + 1, task->title, sizeof task->title);
            else p = read_string(p + 1, unused, sizeof unused);
        } else {
            char *end;
            double number = strtod(p, &end);
            if (end == p) return NULL;
            if (strcmp(key, "progress") == 0) task->progress = number;
            p = end;
        }
        if (*p == ',') ++p;
    }
    return *p == '}' ? p + 1 : NULL;
}

static int show_tasks(void)
{
    const char *list = ds_list_tasks();
    struct task task;
    int count = 0;
    const char *p;
    if (ds_last_error()[0] != '\0') return -1;
    for (p = list; (p = next_task(p, &task)) != NULL;) ++count;
    printf("%d %s\n", count, count == 1 ? "task" : "tasks");
    for (p = list; (p = next_task(p, &task)) != NULL;)
        printf("%-8s %-11s %5.1f%% %s\n", task.id, task.status, task.progress * 100.0, task.title);
    return count;
}

int main(int argc, char **argv)
{
    const char *host = setting("DS_HOST", "127.0.0.1");
    const char *url = "https://example.org/downloads/demo.iso";
    int pause_all = 0;
    int i;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--pause-all") == 0) pause_all = 1;
        else if (argv[i][0] == '-') {
            fprintf(stderr, "usage: tasks [--pause-all] [URL]\n");
            return 2;
        } else url = argv[i];
    }

    if (ds_connect(host, atoi(setting("DS_PORT", "5000")), setting("DS_USER", "admin"),
                   getenv("DS_PASSWORD")) != 0)
        return failed("login");
    if (show_tasks() < 0) return failed("listing the tasks");

    /* NULL: the station's default folder. */
    if (ds_add_url(url, NULL) != 0) return failed("adding the URL");
    printf("added %s\n", url);

    if (pause_all) {
        int paused = ds_pause_all();
        if (paused < 0) return failed("pausing every task");
        printf("paused %d %s\n", paused, paused == 1 ? "task" : "tasks");
    }
    if (show_tasks() < 0) return failed("listing the tasks");

    ds_disconnect();
    return 0;
}
