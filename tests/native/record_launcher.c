/* A stand-in launcher for the tests on Windows, as the shell-script launcher is
 * on POSIX. Each start appends one line to a record file:
 *     tag \t argv[0] \t number of arguments \t working directory \t arguments
 * The tag and the record file's path are not compiled in: they are in a trailer
 * that the tests append to a copy of this program, after its last byte,
 *     \n#record-launcher\t<tag>\t<record path>\n
 * so that every tag is a different executable. Text is written as UTF-8. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char marker[] = "\n#record-launcher\t";

static char *utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *out = malloc(size > 0 ? (size_t)size : 1);
    if (!out || WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL) <= 0)
        exit(3);
    return out;
}

static wchar_t *wide(const char *text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    wchar_t *out = malloc(sizeof(wchar_t) * (size > 0 ? (size_t)size : 1));
    if (!out || MultiByteToWideChar(CP_UTF8, 0, text, -1, out, size) <= 0)
        exit(3);
    return out;
}

int wmain(int argc, wchar_t **argv)
{
    wchar_t self[32768];
    if (!GetModuleFileNameW(NULL, self, 32768))
        return 2;
    FILE *image = _wfopen(self, L"rb");
    if (!image || fseek(image, 0, SEEK_END) != 0)
        return 2;
    long size = ftell(image);
    long tail = size < 4096 ? size : 4096;
    char buffer[4097];
    if (fseek(image, size - tail, SEEK_SET) != 0 || fread(buffer, 1, (size_t)tail, image) != (size_t)tail)
        return 2;
    fclose(image);
    buffer[tail] = '\0';
    /* the last marker: the bytes before it are the program's, NULs included */
    char *found = NULL;
    for (long at = tail - (long)(sizeof marker - 1); at >= 0 && !found; at--)
        if (memcmp(buffer + at, marker, sizeof marker - 1) == 0)
            found = buffer + at;
    if (!found)
        return 2;
    char *tag = found + sizeof marker - 1;
    char *record = strchr(tag, '\t');
    if (!record)
        return 2;
    *record++ = '\0';
    record[strcspn(record, "\n")] = '\0';

    wchar_t cwd[32768];
    if (!GetCurrentDirectoryW(32768, cwd))
        return 2;
    FILE *out = _wfopen(wide(record), L"ab");
    if (!out)
        return 2;
    fprintf(out, "%s\t%s\t%d\t%s\t", tag, utf8(argv[0]), argc - 1, utf8(cwd));
    for (int i = 1; i < argc; i++)
        fprintf(out, i > 1 ? " %s" : "%s", utf8(argv[i]));
    fputc('\n', out);
    return fclose(out) == 0 ? 0 : 2;
}
