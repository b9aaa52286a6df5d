//! The fwstack self-update engine's C interface, fwstack_update.h 2.1, as
//! the header declares it: the records, the numbers and the calls. The safe
//! interface is the `fwstack-update` crate.
#![allow(non_camel_case_types)]

use std::os::raw::{c_char, c_void};

pub const FWSTACK_UPDATE_VERSION_MAJOR: u32 = 2;
pub const FWSTACK_UPDATE_VERSION_MINOR: u32 = 1;

// Bits of fwstack_settings.options.
pub const FWSTACK_ALLOW_LOCAL_HTTP: u32 = 1;
pub const FWSTACK_NO_REVOCATION_CHECK: u32 = 2;
pub const FWSTACK_SKIP_VERSION_RESOURCE: u32 = 4;
pub const FWSTACK_KEEP_STAGED: u32 = 8;
pub const FWSTACK_ALLOW_UNSIGNED_RELEASE: u32 = 16;

// Which transfer a progress call is about.
pub const FWSTACK_TRANSFER_DOCUMENT: u32 = 1;
pub const FWSTACK_TRANSFER_RELEASE: u32 = 2;

// States.
pub const FWSTACK_UP_TO_DATE: u32 = 1;
pub const FWSTACK_AVAILABLE: u32 = 2;
pub const FWSTACK_AVAILABLE_READ_ONLY: u32 = 3;
pub const FWSTACK_STAGED: u32 = 4;
pub const FWSTACK_UPDATED: u32 = 5;
pub const FWSTACK_FAILED: u32 = 7;
pub const FWSTACK_INSTALLED: u32 = 8;

// Reasons (fwstack_result.error).
pub const FWSTACK_SETTINGS_INVALID: u32 = 1;
pub const FWSTACK_PROGRAM_FILE_NOT_FOUND: u32 = 2;
pub const FWSTACK_INSTALLED_VERSION_UNKNOWN: u32 = 4;
pub const FWSTACK_INFO_NOT_DELIVERED: u32 = 6;
pub const FWSTACK_INFO_MALFORMED: u32 = 7;
pub const FWSTACK_DOWNLOAD_NOT_ON_SERVER: u32 = 8;
pub const FWSTACK_ANOTHER_UPDATE_RUNNING: u32 = 9;
pub const FWSTACK_DOWNLOAD_NOT_SAVED: u32 = 10;
pub const FWSTACK_DOWNLOAD_FAILED: u32 = 11;
pub const FWSTACK_DOWNLOAD_DAMAGED: u32 = 12;
pub const FWSTACK_DOWNLOAD_NOT_SIGNED: u32 = 13;
pub const FWSTACK_DOWNLOAD_WRONG_SIGNER: u32 = 14;
pub const FWSTACK_DOWNLOAD_WRONG_VERSION: u32 = 15;
pub const FWSTACK_STAGED_UPDATE_MISSING: u32 = 16;
pub const FWSTACK_STAGE_FAILED: u32 = 17;
pub const FWSTACK_PROGRAM_NOT_REPLACED: u32 = 18;
pub const FWSTACK_FOLDER_READ_ONLY: u32 = 20;
pub const FWSTACK_REVOCATION_UNCHECKED: u32 = 21;
pub const FWSTACK_UPDATE_RECORD_UNWRITTEN: u32 = 23;
pub const FWSTACK_CANCELLED: u32 = 24;
pub const FWSTACK_INFO_NOT_SIGNED: u32 = 25;
pub const FWSTACK_INFO_EXPIRED: u32 = 26;

// Where a transfer failed (fwstack_result.transfer_stage).
pub const FWSTACK_STAGE_ADDRESS: u32 = 1;
pub const FWSTACK_STAGE_SESSION: u32 = 2;
pub const FWSTACK_STAGE_CONNECTION: u32 = 3;
pub const FWSTACK_STAGE_EXCHANGE: u32 = 4;
pub const FWSTACK_STAGE_RESPONSE: u32 = 5;
pub const FWSTACK_STAGE_TOO_LARGE: u32 = 6;
pub const FWSTACK_STAGE_FILE_WRITE: u32 = 7;
pub const FWSTACK_STAGE_CANCELLED: u32 = 8;

pub const FWSTACK_REPORT_CAPACITY: usize = 256;
pub const FWSTACK_VERSION_CAPACITY: usize = 32;
/// The most stack the engine's own frames take in one call.
pub const FWSTACK_STACK_BYTES: usize = 8192;

/// Nonzero stops the attempt (FWSTACK_CANCELLED).
pub type fwstack_progress_fn =
    Option<unsafe extern "C" fn(context: *mut c_void, transfer: u32, received: u64, total: u64) -> i32>;

/// Zero-filled first; `size` is `size_of::<fwstack_settings>()` (88).
#[repr(C)]
#[derive(Clone, Copy)]
pub struct fwstack_settings {
    pub program_name: *const c_char,
    pub update_info_address: *const c_char,
    pub publisher: *const c_char,
    pub product_name: *const c_char,
    pub version_text: *const c_char,
    pub max_download_size: u64,
    pub options: u32,
    pub size: u32,
    pub progress: fwstack_progress_fn,
    pub progress_context: *mut c_void,
    /// Null or 64 bytes: an ECDSA P-256 public key, X then Y, big-endian.
    pub publisher_key: *const u8,
    pub second_publisher_key: *const u8,
}

/// 512 bytes, written whole by every call.
#[repr(C)]
#[derive(Clone, Copy)]
pub struct fwstack_result {
    pub state: u32,
    pub error: u32,
    pub exit_code: u32,
    pub report_length: u32,
    pub report: [u8; FWSTACK_REPORT_CAPACITY + 1],
    pub reserved_padding: [u8; 7],
    pub release_size: u64,
    pub transfer_stage: u32,
    pub system_error: u32,
    pub http_status: u32,
    pub installed_version: [u8; FWSTACK_VERSION_CAPACITY + 1],
    pub available_version: [u8; FWSTACK_VERSION_CAPACITY + 1],
    pub reserved: [u8; 146],
}

const _: () = assert!(std::mem::size_of::<fwstack_settings>() == 88);
const _: () = assert!(std::mem::size_of::<fwstack_result>() == 512);

// wchar_t: UTF-16 units on Windows.
extern "C" {
    pub fn fwstack_cleanup(settings: *const fwstack_settings, program_path: *const c_char);
    pub fn fwstack_cleanup_w(settings: *const fwstack_settings, program_path: *const u16);
    pub fn fwstack_check(settings: *const fwstack_settings, program_path: *const u16,
                         result: *mut fwstack_result) -> u32;
    pub fn fwstack_download(settings: *const fwstack_settings, program_path: *const u16,
                            result: *mut fwstack_result) -> u32;
    pub fn fwstack_apply(settings: *const fwstack_settings, program_path: *const u16,
                         result: *mut fwstack_result) -> u32;
    pub fn fwstack_update(settings: *const fwstack_settings, result: *mut fwstack_result) -> u32;
    pub fn fwstack_update_file(settings: *const fwstack_settings, program_path: *const c_char,
                               result: *mut fwstack_result) -> u32;
    pub fn fwstack_update_file_w(settings: *const fwstack_settings, program_path: *const u16,
                                 result: *mut fwstack_result) -> u32;
}
