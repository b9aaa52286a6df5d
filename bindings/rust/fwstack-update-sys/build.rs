// Links the engine when FWSTACK_UPDATE_LIB_DIR names the folder of the
// installed libfwstack_update.a (<prefix>/lib). Without it nothing is linked
// here: a static library for a C toolchain (as examples/rust builds) gets
// the engine at that toolchain's link.
fn main() {
    println!("cargo:rerun-if-env-changed=FWSTACK_UPDATE_LIB_DIR");
    if let Ok(dir) = std::env::var("FWSTACK_UPDATE_LIB_DIR") {
        println!("cargo:rustc-link-search=native={}", dir);
        println!("cargo:rustc-link-lib=static=fwstack_update");
        println!("cargo:rustc-link-lib=dylib=kernel32");
    }
}
