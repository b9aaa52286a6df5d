/* Calls of the engine's public header that do nothing: a program built with
 * this file instead of the library is the floor for what the engine adds. */
#include <string.h>

#include <fwstack_update.h>

static uint32_t nothing(fwstack_result* result) {
    if (result) {
        memset(result, 0, sizeof *result);
        result->state = FWSTACK_UP_TO_DATE;
    }
    return 0;
}

void fwstack_cleanup(const fwstack_settings* settings, const char* program_path) {
    (void)settings;
    (void)program_path;
}
void fwstack_cleanup_w(const fwstack_settings* settings, const wchar_t* program_path) {
    (void)settings;
    (void)program_path;
}
uint32_t fwstack_check(const fwstack_settings* settings, const wchar_t* program_path,
                       fwstack_result* result) {
    (void)settings;
    (void)program_path;
    return nothing(result);
}
uint32_t fwstack_download(const fwstack_settings* settings, const wchar_t* program_path,
                          fwstack_result* result) {
    (void)settings;
    (void)program_path;
    return nothing(result);
}
uint32_t fwstack_apply(const fwstack_settings* settings, const wchar_t* program_path,
                       fwstack_result* result) {
    (void)settings;
    (void)program_path;
    return nothing(result);
}
uint32_t fwstack_update(const fwstack_settings* settings, fwstack_result* result) {
    (void)settings;
    return nothing(result);
}
uint32_t fwstack_update_file(const fwstack_settings* settings, const char* program_path,
                             fwstack_result* result) {
    (void)settings;
    (void)program_path;
    return nothing(result);
}
uint32_t fwstack_update_file_w(const fwstack_settings* settings, const wchar_t* program_path,
                               fwstack_result* result) {
    (void)settings;
    (void)program_path;
    return nothing(result);
}
