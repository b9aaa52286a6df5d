// hello-go: a Go program without cgo that keeps itself, and the engine's
// DLL beside it, up to date with fwstack_update.dll.
//
//	hello-go             greets
//	hello-go --version   prints the version
//	hello-go update      updates the DLL, then the program
//
// The two files have documents of their own on the update server: the
// program's, and the DLL's under its publisher's name and product. The values
// below are set at build time (go build -ldflags "-X main.version=...").
package main

import (
	"fmt"
	"os"
	"path/filepath"
	"strconv"

	"fwstack.example/update"
)

var (
	version         = "1.0.0"
	updateAddress   = "https://updates.example.com/downloads/hello-go/latest.txt"
	options         = "0"
	engineAddress   = "https://updates.example.com/downloads/fwstack_update/latest.txt"
	enginePublisher = "Kelvardo s.r.o."
)

func main() {
	bits, _ := strconv.ParseUint(options, 10, 32)
	program := &update.Program{Name: "hello-go", UpdateAddress: updateAddress,
		Publisher: "Example Tools Ltd.", Product: "Hello Go", Version: version,
		Options: uint32(bits)}
	if len(os.Args) == 2 && os.Args[1] == "--version" {
		fmt.Printf("hello-go %s\n", version)
		return
	}
	engine, err := update.Load()
	if err != nil {
		fmt.Fprintf(os.Stderr, "hello-go: %v\n", err)
		os.Exit(1)
	}
	// The DLL is a program file like any other to the engine: its version
	// comes from its version resource, its signer must be its publisher.
	library := &update.Program{Name: "fwstack_update", UpdateAddress: engineAddress,
		Publisher: enginePublisher, Product: "Ferrowstack update engine",
		Options: uint32(bits)}
	// Early at every start: removes what the last updates left behind.
	engine.Cleanup(program, "")
	engine.Cleanup(library, engine.Path)
	switch {
	case len(os.Args) == 2 && os.Args[1] == "update":
		code := 0
		for _, result := range []update.Result{engine.UpdateFile(library, engine.Path),
			engine.Update(program)} {
			out := os.Stdout
			if result.ExitCode != 0 {
				out, code = os.Stderr, 1
			}
			fmt.Fprint(out, result.Report())
		}
		os.Exit(code)
	case len(os.Args) == 1:
		fmt.Printf("Hello from hello-go %s (engine %s)\n", version, filepath.Base(engine.Path))
	default:
		fmt.Fprintln(os.Stderr, "usage: hello-go [--version | update]")
		os.Exit(2)
	}
}
