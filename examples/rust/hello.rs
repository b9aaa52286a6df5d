//! hello-rust: a Rust console program that keeps itself up to date through
//! the fwstack engine, with the fwstack-update crate. "hello-rust --version"
//! prints the version, "hello-rust update" updates it. Built by cargo as a
//! static library whose `main` the C toolchain links with the engine (see
//! CMakeLists.txt), so the program gets the same version resource and
//! signature as a C program.
use std::io::Write;
use std::os::raw::{c_char, c_int};

const VERSION: &str = env!("HELLO_VERSION");

fn settings() -> fwstack_update::Settings {
    let mut settings = fwstack_update::Settings::new(
        "hello-rust",
        env!("HELLO_UPDATE_ADDRESS"),
        "Example Tools Ltd.",
        "Hello Rust",
        VERSION, // as the version resource says
    )
    .expect("texts without zero bytes");
    settings.options = env!("HELLO_OPTIONS").parse().expect("HELLO_OPTIONS is a number");
    settings
}

#[no_mangle]
pub extern "C" fn main(_argc: c_int, _argv: *const *const c_char) -> c_int {
    let settings = settings();
    // Early at every start: removes what the last update left behind.
    settings.cleanup();

    let args: Vec<String> = std::env::args().skip(1).collect();
    match args.iter().map(String::as_str).collect::<Vec<_>>().as_slice() {
        ["--version"] => println!("hello-rust {}", VERSION),
        ["update"] => {
            let (code, report) = match settings.update() {
                // Exit code 1 also for a newer release in a read-only folder.
                Ok(outcome) => (outcome.exit_code, outcome.report),
                Err(failure) => (1, failure.report),
            };
            let written = if code == 0 {
                std::io::stdout().write_all(report.as_bytes())
            } else {
                std::io::stderr().write_all(report.as_bytes())
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
