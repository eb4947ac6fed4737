/* Method URIs and payload texts, checked before anything reaches the bus. */
#include "ts_private.h"

#include <json-c/json.h>
#include <string.h>

static const char* const k_schemes[] = {"quor://", "tamo://"};

bool ts_category_valid(const char* category)
{
    return category && g_variant_is_object_path(category);
}

bool ts_uri_parse(const char* uri, TSUri* out, TSError* error)
{
    *out = (TSUri){0};
    if (!uri) {
        TS_ERROR(error, TS_ERROR_INVALID, "No URI given");
        return false;
    }
    const char* rest = NULL;
    for (size_t i = 0; i < G_N_ELEMENTS(k_schemes); i++) {
        if (g_str_has_prefix(uri, k_schemes[i]))
            rest = uri + strlen(k_schemes[i]);
    }
    const char* slash = rest ? strchr(rest, '/') : NULL;
    const char* last = rest ? strrchr(rest, '/') : NULL;
    if (!slash || !last[1]) {
        TS_ERROR(error, TS_ERROR_INVALID,
                 "Malformed URI \"%s\": expected quor://service/[category/]method", uri);
        return false;
    }
    g_autofree char* service = g_strndup(rest, slash - rest);
    g_autofree char* path = last == slash ? g_strdup("/") : g_strndup(slash, last - slash);
    if (!g_dbus_is_name(service)) {
        TS_ERROR(error, TS_ERROR_INVALID, "Malformed URI \"%s\": bad service name \"%s\"", uri,
                 service);
        return false;
    }
    if (!g_variant_is_object_path(path)) {
        TS_ERROR(error, TS_ERROR_INVALID, "Malformed URI \"%s\": bad category \"%s\"", uri, path);
        return false;
    }
    if (!g_dbus_is_member_name(last + 1)) {
        TS_ERROR(error, TS_ERROR_INVALID, "Malformed URI \"%s\": \"%s\" cannot be a method name",
                 uri, last + 1);
        return false;
    }
    out->service = g_steal_pointer(&service);
    out->path = g_steal_pointer(&path);
    out->member = g_strdup(last + 1);
    return true;
}

bool TSUriCheck(const char* uri, TSError* error)
{
    TSUri parts;
    if (!ts_uri_parse(uri, &parts, error))
        return false;
    ts_uri_clear(&parts);
    return true;
}

void ts_uri_clear(TSUri* uri)
{
    g_clear_pointer(&uri->service, g_free);
    g_clear_pointer(&uri->path, g_free);
    g_clear_pointer(&uri->member, g_free);
}

static bool is_true(json_object* root, const char* key)
{
    json_object* value = NULL;
    return json_object_object_get_ex(root, key, &value) &&
           json_object_is_type(value, json_type_boolean) && json_object_get_boolean(value);
}

bool ts_payload_check(const char* payload, bool* subscribep, TSError* error)
{
    if (!payload) {
        TS_ERROR(error, TS_ERROR_INVALID, "No payload given");
        return false;
    }
    size_t length = strlen(payload);
    /* Not worth parsing: it could never be sent. */
    if (length > TS_MAX_MESSAGE_SIZE) {
        TS_ERROR(error, TS_ERROR_TOO_LARGE,
                 "The payload (%zu bytes) is larger than the bus carries (%u bytes)", length,
                 TS_MAX_MESSAGE_SIZE);
        return false;
    }
    if (!g_utf8_validate(payload, (gssize)length, NULL)) {
        TS_ERROR(error, TS_ERROR_INVALID, "Payload is not UTF-8 text");
        return false;
    }
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    /* The terminating NUL included, so that a bare number ends where the text does. */
    json_object* root = json_tokener_parse_ex(tokener, payload, (int)length + 1);
    bool ok = json_tokener_get_error(tokener) == json_tokener_success;
    if (ok) {
        size_t used = MIN(json_tokener_get_parse_end(tokener), length);
        ok = strspn(payload + used, " \t\r\n") == length - used;
    }
    json_tokener_free(tokener);
    if (!ok) {
        json_object_put(root);
        TS_ERROR(error, TS_ERROR_INVALID, "Payload is not JSON: %s", payload);
        return false;
    }
    if (subscribep)
        *subscribep = is_true(root, "subscribe") || is_true(root, "watch");
    json_object_put(root);
    return true;
}

char* ts_failure_payload(const char* text)
{
    json_object* reply = json_object_new_object();
    json_object_object_add(reply, "returnValue", json_object_new_boolean(0));
    json_object_object_add(reply, "errorCode", json_object_new_int(-1));
    json_object_object_add(reply, "errorText", json_object_new_string(text ? text : ""));
    char* out = g_strdup(json_object_to_json_string_ext(reply, JSON_C_TO_STRING_PLAIN |
                                                                   JSON_C_TO_STRING_NOSLASHESCAPE));
    json_object_put(reply);
    return out;
}
