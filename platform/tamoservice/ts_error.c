/* The error record every operation fills on failure. */
#include "ts_private.h"

#include <stdarg.h>

void TSErrorInit(TSError* error)
{
    if (error)
        *error = (TSError){0};
}

bool TSErrorIsSet(const TSError* error)
{
    return error && error->message;
}

void TSErrorFree(TSError* error)
{
    if (!error)
        return;
    g_free(error->message);
    *error = (TSError){0};
}

void ts_error_set(TSError* error, int code, const char* func, const char* file, int line,
                  const char* format, ...)
{
    if (!error)
        return;
    /* The first failure is the one worth reporting; later ones would only hide it. */
    if (error->message)
        return;
    va_list args;
    va_start(args, format);
    error->message = g_strdup_vprintf(format, args);
    va_end(args);
    error->error_code = code;
    error->func = func;
    error->file = file;
    error->line = line;
}
