//! Self-update for 64-bit Windows programs with the fwstack engine: the
//! settings as owned Rust values, each call's outcome as a `Result`.
//!
//! ```no_run
//! let settings = fwstack_update::Settings::new("mytool",
//!     "https://updates.example.com/downloads/mytool/latest.txt",
//!     "Example Tools Ltd.", "My Tool", env!("CARGO_PKG_VERSION")).unwrap();
//! settings.cleanup();  // early at every start
//! match settings.update() {
//!     Ok(outcome) => print!("{}", outcome.report),
//!     Err(failure) => eprint!("{}", failure.report),
//! }
//! ```
use std::ffi::{CString, NulError};
use std::os::raw::{c_int, c_void};

pub use fwstack_update_sys as sys;

/// What the engine knows of the program it updates; see fwstack_update.h
/// for each text's rule (a text that breaks it fails every call with
/// `FWSTACK_SETTINGS_INVALID`).
#[derive(Clone, Debug)]
pub struct Settings {
    program_name: CString,
    update_info_address: CString,
    publisher: CString,
    product_name: CString,
    version_text: CString,
    /// The largest release accepted, in bytes; 0 means 64 MiB.
    pub max_download_size: u64,
    /// `sys::FWSTACK_*` option bits; 0 for a release build.
    pub options: u32,
    /// The publisher's keys (64 bytes each), as `fwstack-publish keygen` prints them.
    pub publisher_key: Option<[u8; 64]>,
    pub second_publisher_key: Option<[u8; 64]>,
}

/// How an attempt that did not fail ended.
#[derive(Clone, Copy, Debug, PartialEq, Eq)]
pub enum State {
    UpToDate,
    Available,
    /// Newer, but the program folder is read-only (exit code 1).
    AvailableReadOnly,
    Staged,
    Updated,
    /// The program file already holds the announced release: restart to use it.
    Installed,
}

/// A finished attempt.
#[derive(Clone, Debug)]
pub struct Outcome {
    pub state: State,
    /// One line ending in "\n", for standard output (exit code 0) or
    /// standard error (1).
    pub report: String,
    pub exit_code: u32,
    pub installed_version: String,
    pub available_version: String,
    pub release_size: u64,
}

/// A failed attempt (`FWSTACK_FAILED`).
#[derive(Clone, Debug)]
pub struct Failure {
    /// One of the `sys::FWSTACK_*` reasons.
    pub error: u32,
    /// "<program> update failed: <reason>\n"
    pub report: String,
    /// For a failed transfer: `sys::FWSTACK_STAGE_*`, GetLastError there, the HTTP status.
    pub transfer_stage: u32,
    pub system_error: u32,
    pub http_status: u32,
}

impl std::fmt::Display for Failure {
    fn fmt(&self, f: &mut std::fmt::Formatter<'_>) -> std::fmt::Result {
        f.write_str(self.report.trim_end())
    }
}

impl std::error::Error for Failure {}

/// Told of a transfer's progress: (`sys::FWSTACK_TRANSFER_*`, bytes
/// received, announced total or 0); returning true stops the attempt.
pub type Progress<'a> = &'a mut dyn FnMut(u32, u64, u64) -> bool;

unsafe extern "C" fn progress_call(context: *mut c_void, transfer: u32, received: u64,
                                   total: u64) -> c_int {
    let progress = &mut *(context as *mut Progress);
    // A panic must not unwind into the engine: it stops the attempt instead.
    match std::panic::catch_unwind(std::panic::AssertUnwindSafe(|| progress(transfer, received, total))) {
        Ok(false) => 0,
        _ => 1,
    }
}

fn text(bytes: &[u8]) -> String {
    let end = bytes.iter().position(|&b| b == 0).unwrap_or(bytes.len());
    String::from_utf8_lossy(&bytes[..end]).into_owned()
}

fn outcome(result: &sys::fwstack_result) -> Result<Outcome, Failure> {
    let report = text(&result.report[..result.report_length as usize]);
    let state = match result.state {
        sys::FWSTACK_UP_TO_DATE => State::UpToDate,
        sys::FWSTACK_AVAILABLE => State::Available,
        sys::FWSTACK_AVAILABLE_READ_ONLY => State::AvailableReadOnly,
        sys::FWSTACK_STAGED => State::Staged,
        sys::FWSTACK_UPDATED => State::Updated,
        sys::FWSTACK_INSTALLED => State::Installed,
        _ => {
            return Err(Failure { error: result.error, report,
                                 transfer_stage: result.transfer_stage,
                                 system_error: result.system_error,
                                 http_status: result.http_status })
        }
    };
    Ok(Outcome { state, report, exit_code: result.exit_code,
                 installed_version: text(&result.installed_version),
                 available_version: text(&result.available_version),
                 release_size: result.release_size })
}

/// A program path as the step calls take it: UTF-16, zero-terminated.
#[cfg(windows)]
fn wide(path: &std::path::Path) -> Vec<u16> {
    use std::os::windows::ffi::OsStrExt;
    path.as_os_str().encode_wide().chain(std::iter::once(0)).collect()
}

type StepCall = unsafe extern "C" fn(*const sys::fwstack_settings, *const u16,
                                     *mut sys::fwstack_result) -> u32;

impl Settings {
    /// The five texts; an error when one holds a zero byte.
    pub fn new(program_name: &str, update_info_address: &str, publisher: &str,
               product_name: &str, version_text: &str) -> Result<Settings, NulError> {
        Ok(Settings {
            program_name: CString::new(program_name)?,
            update_info_address: CString::new(update_info_address)?,
            publisher: CString::new(publisher)?,
            product_name: CString::new(product_name)?,
            version_text: CString::new(version_text)?,
            max_download_size: 0,
            options: 0,
            publisher_key: None,
            second_publisher_key: None,
        })
    }

    /// The C record, pointing into self (and progress) for one call.
    fn raw(&self, progress: Option<&mut Progress>) -> sys::fwstack_settings {
        let key = |k: &Option<[u8; 64]>| k.as_ref().map_or(std::ptr::null(), |k| k.as_ptr());
        let (call, context): (sys::fwstack_progress_fn, *mut c_void) = match progress {
            Some(p) => (Some(progress_call), p as *mut Progress as *mut c_void),
            None => (None, std::ptr::null_mut()),
        };
        sys::fwstack_settings {
            program_name: self.program_name.as_ptr(),
            update_info_address: self.update_info_address.as_ptr(),
            publisher: self.publisher.as_ptr(),
            product_name: self.product_name.as_ptr(),
            version_text: self.version_text.as_ptr(),
            max_download_size: self.max_download_size,
            options: self.options,
            size: std::mem::size_of::<sys::fwstack_settings>() as u32,
            progress: call,
            progress_context: context,
            publisher_key: key(&self.publisher_key),
            second_publisher_key: key(&self.second_publisher_key),
        }
    }

    /// Early at every start: removes what an earlier update left beside the
    /// running program's file.
    pub fn cleanup(&self) {
        let raw = self.raw(None);
        unsafe { sys::fwstack_cleanup(&raw, std::ptr::null()) }
    }

    /// Check, download and apply in one call, on the running program's file.
    pub fn update(&self) -> Result<Outcome, Failure> {
        self.update_with_progress(None)
    }

    /// The same, telling progress of each transfer.
    pub fn update_with_progress(&self, mut progress: Option<Progress>) -> Result<Outcome, Failure> {
        let raw = self.raw(progress.as_mut());
        // All zero bytes are a valid result; the call writes it whole.
        let mut result: sys::fwstack_result = unsafe { std::mem::zeroed() };
        unsafe { sys::fwstack_update(&raw, &mut result) };
        outcome(&result)
    }

    fn step(&self, call: StepCall, program: Option<&std::path::Path>,
            mut progress: Option<Progress>) -> Result<Outcome, Failure> {
        #[cfg(windows)]
        let path = program.map(wide);
        #[cfg(not(windows))]
        let path: Option<Vec<u16>> = program.map(|p| {
            p.to_string_lossy().encode_utf16().chain(std::iter::once(0)).collect()
        });
        let raw = self.raw(progress.as_mut());
        let mut result: sys::fwstack_result = unsafe { std::mem::zeroed() };
        let at = path.as_ref().map_or(std::ptr::null(), |p| p.as_ptr());
        unsafe { call(&raw, at, &mut result) };
        outcome(&result)
    }

    /// Asks the server; writes nothing. `None`: the running program's file.
    pub fn check(&self, program: Option<&std::path::Path>) -> Result<Outcome, Failure> {
        self.step(sys::fwstack_check, program, None)
    }

    /// Checks, then downloads, verifies and stages a newer release.
    pub fn download(&self, program: Option<&std::path::Path>,
                    progress: Option<Progress>) -> Result<Outcome, Failure> {
        self.step(sys::fwstack_download, program, progress)
    }

    /// Puts the staged release in the program's place, verified again first.
    pub fn apply(&self, program: Option<&std::path::Path>) -> Result<Outcome, Failure> {
        self.step(sys::fwstack_apply, program, None)
    }
}
