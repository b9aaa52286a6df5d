/* The program is written in Rust (hello.rs); this file only gives CMake a
 * C target to link it into. */
typedef int hello_rust_empty_unit;
