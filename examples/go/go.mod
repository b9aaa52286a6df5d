module fwstack.example/hello-go

go 1.19

require fwstack.example/update v0.0.0

// The binding in this checkout; the CMake build points at the installed one.
replace fwstack.example/update => ../../bindings/go
