//! hello-rust: a Rust console program that keeps itself up to date through
//! the fwstack engine's C interface. "hello-rust --version" prints the
//! version, "hello-rust update" updates it. Built as a static library whose
//! `main` the C toolchain links with the engine (see CMakeLists.txt), so the
//! program gets the same version resource and signature as a C program.
use std::ffi::CStr;
use std::io::Write;
use std::os::raw::{c_char, c_int, c_void};

// The C interface 2.0, declared as fwstack_update.h declares it.
type ProgressFn = Option<extern "C" fn(*mut c_void, u32, u64, u64) -> c_int>;

#[repr(C)]
struct Settings {
    program_name: *const c_char,
    update_info_address: *const c_char,
    publisher: *const c_char,
    product_name: *const c_char,
    version_text: *const c_char,
    max_download_size: u64,
    options: u32,
    size: u32, // std::mem::size_of::<Settings>()
    progress: ProgressFn,
    progress_context: *mut c_void,
}

const REPORT_CAPACITY: usize = 256;
const VERSION_CAPACITY: usize = 32;

// 512 bytes, written whole by every call.
#[repr(C)]
struct UpdateResult {
    state: u32,
    error: u32,
    exit_code: u32,
    report_length: u32,
    report: [u8; REPORT_CAPACITY + 1],
    reserved_padding: [u8; 7],
    release_size: u64,
    transfer_stage: u32,
    system_error: u32,
    http_status: u32,
    installed_version: [u8; VERSION_CAPACITY + 1],
    available_version: [u8; VERSION_CAPACITY + 1],
    reserved: [u8; 146],
}

const _: () = assert!(std::mem::size_of::<Settings>() == 72);
const _: () = assert!(std::mem::size_of::<UpdateResult>() == 512);

extern "C" {
    fn fwstack_cleanup(settings: *const Settings, program_path: *const c_char);
    fn fwstack_update(settings: *const Settings, result: *mut UpdateResult) -> u32;
}

const VERSION: &str = env!("HELLO_VERSION");

fn text(bytes: &'static [u8]) -> *const c_char {
    CStr::from_bytes_with_nul(bytes).expect("a zero-terminated literal").as_ptr()
}

fn settings() -> Settings {
    Settings {
        program_name: text(b"hello-rust\0"),
        update_info_address: text(concat!(env!("HELLO_UPDATE_ADDRESS"), "\0").as_bytes()),
        publisher: text(b"Example Tools Ltd.\0"),
        product_name: text(b"Hello Rust\0"),
        version_text: text(concat!(env!("HELLO_VERSION"), "\0").as_bytes()), // as the version resource says
        max_download_size: 0,
        options: env!("HELLO_OPTIONS").parse().expect("HELLO_OPTIONS is a number"),
        size: std::mem::size_of::<Settings>() as u32,
        progress: None,
        progress_context: std::ptr::null_mut(),
    }
}

#[no_mangle]
pub extern "C" fn main(_argc: c_int, _argv: *const *const c_char) -> c_int {
    let settings = settings();
    // Early at every start: removes what the last update left behind.
    unsafe { fwstack_cleanup(&settings, std::ptr::null()) };

    let args: Vec<String> = std::env::args().skip(1).collect();
    match args.iter().map(String::as_str).collect::<Vec<_>>().as_slice() {
        ["--version"] => println!("hello-rust {}", VERSION),
        ["update"] => {
            // All zero bytes are a valid UpdateResult; the call writes it whole.
            let mut result: UpdateResult = unsafe { std::mem::zeroed() };
            let code = unsafe { fwstack_update(&settings, &mut result) };
            let report = &result.report[..result.report_length as usize];
            let written = if code == 0 {
                std::io::stdout().write_all(report)
            } else {
                std::io::stderr().write_all(report)
            };
            return if written.is_ok() { code as c_int } else { 1 };
        }
        [] => println!("Hello from hello-rust {}", VERSION),
        _ => {
            eprintln!("usage: hello-rust [--version | update]");
            return 2;
        }
    }
    0
}
