// qelpack's command line and packing run.
#include "qel.h"

#include <string>

// "オプション(%s)が異常です。\n"
static const char msg_bad_option[] =
    "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93(%s)\x82\xAA\x88\xD9\x8F\xED\x82\xC5\x82\xB7\x81\x42\n";

void show_usage()
{
    fprintf(stderr, "qelpack2 by Noru. %s %s\n", __DATE__, __TIME__);
    fprintf(stderr, "Usage: qelpack [Option] [path] \n");
    fprintf(stderr, " Option:\n");
}

int parse_options(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            qel.path_arg = arg;
            continue;
        }
        switch (arg[1]) {
        case '?':
        case 'H':
        case 'h':
            show_usage();
            return 0;
        case 'L':
        case 'l':
        case 'T':
        case 't':
        case 'E':
        case 'e':
            qel.tool = arg[1] | 0x20; // the path then names an image: list, test or extract
            break;
        default:
            fprintf(stderr, msg_bad_option, arg);
            return 1;
        }
    }
    return -1;
}

int qelpack_main(int argc, char** argv)
{
    int rc = parse_options(argc, argv);
    if (rc >= 0) return rc;
    if (!qel.path_arg || !qel.path_arg[0]) {
        show_usage();
        return 0;
    }
    if (qel.tool) return qel_tool(qel.tool, qel.path_arg);
    // An absolute path is scanned as given; "./" in front would make it unreachable.
    std::string root = qel.path_arg[0] == '/' ? qel.path_arg : std::string("./") + qel.path_arg;
    if (qel_open("root.bin") != 0) {
        printf("qel_open() error\n");
        return -1;
    }
    scan_directory(root.c_str(), "");
    // Only a failed write changes the status; an empty image still ends with "done".
    if (qel_finish() != 0 && qel.file_count > 0) return -1;
    printf("done\n");
    return 0;
}
