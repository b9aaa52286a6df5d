package update

import (
	"errors"
	"os"
	"path/filepath"
	"runtime"
	"syscall"
	"unsafe"
)

// DLLName is the engine's file, looked for in the program's own folder.
const DLLName = "fwstack_update.dll"

const loadLibrarySearchSystem32 = 0x00000800

// Engine is a loaded fwstack_update.dll and its functions.
type Engine struct {
	dll                                             *syscall.DLL
	cleanupW, check, download, apply, update, fileW *syscall.Proc
	Path                                            string
}

// Load loads fwstack_update.dll from the folder of the running program's
// own file, by its full path: a DLL of that name in the current folder or on
// PATH is never the one loaded.
func Load() (*Engine, error) {
	exe, err := os.Executable()
	if err != nil {
		return nil, err
	}
	return LoadFrom(filepath.Join(filepath.Dir(exe), DLLName))
}

// LoadFrom loads the engine from an absolute path. Its own imports (kernel32
// alone) come from the system folder.
func LoadFrom(path string) (*Engine, error) {
	if !filepath.IsAbs(path) {
		return nil, errors.New("fwstack: the DLL's path is not absolute: " + path)
	}
	kernel32, err := syscall.LoadDLL("kernel32.dll")
	if err != nil {
		return nil, err
	}
	loadLibraryEx, err := kernel32.FindProc("LoadLibraryExW")
	if err != nil {
		return nil, err
	}
	wide, err := syscall.UTF16PtrFromString(path)
	if err != nil {
		return nil, err
	}
	handle, _, callErr := loadLibraryEx.Call(uintptr(unsafe.Pointer(wide)), 0,
		loadLibrarySearchSystem32)
	if handle == 0 {
		return nil, &os.PathError{Op: "LoadLibraryExW", Path: path, Err: callErr}
	}
	e := &Engine{dll: &syscall.DLL{Name: path, Handle: syscall.Handle(handle)}, Path: path}
	for _, f := range []struct {
		proc **syscall.Proc
		name string
	}{{&e.cleanupW, "fwstack_cleanup_w"}, {&e.check, "fwstack_check"},
		{&e.download, "fwstack_download"}, {&e.apply, "fwstack_apply"},
		{&e.update, "fwstack_update"}, {&e.fileW, "fwstack_update_file_w"}} {
		if *f.proc, err = e.dll.FindProc(f.name); err != nil {
			e.dll.Release()
			return nil, err
		}
	}
	return e, nil
}

// widePath is null for "" (the running program's own file).
func widePath(file string) (*uint16, bool) {
	if file == "" {
		return nil, true
	}
	wide, err := syscall.UTF16PtrFromString(file)
	return wide, err == nil
}

func (e *Engine) call(proc *syscall.Proc, p *Program, file string, withPath bool) Result {
	var result Result
	s, ok := makeSettings(p)
	path, pathOK := widePath(file)
	if !ok {
		return invalidKey()
	}
	if !pathOK {
		result = Result{State: Failed, Error: ErrorProgramNotFound, ExitCode: 1}
		return result
	}
	if withPath {
		proc.Call(uintptr(unsafe.Pointer(&s.record)), uintptr(unsafe.Pointer(path)),
			uintptr(unsafe.Pointer(&result)))
	} else {
		proc.Call(uintptr(unsafe.Pointer(&s.record)), uintptr(unsafe.Pointer(&result)))
	}
	// The engine read the settings' texts during the call.
	runtime.KeepAlive(s)
	runtime.KeepAlive(path)
	return result
}

// Cleanup removes what an earlier update left beside the program file ("":
// the running program's own); at every start, early.
func (e *Engine) Cleanup(p *Program, file string) {
	s, ok := makeSettings(p)
	path, pathOK := widePath(file)
	if !ok || !pathOK {
		return
	}
	e.cleanupW.Call(uintptr(unsafe.Pointer(&s.record)), uintptr(unsafe.Pointer(path)))
	runtime.KeepAlive(s)
	runtime.KeepAlive(path)
}

// Check asks the update server; it writes nothing.
func (e *Engine) Check(p *Program, file string) Result { return e.call(e.check, p, file, true) }

// Download downloads, verifies and stages a newer release beside the file.
func (e *Engine) Download(p *Program, file string) Result {
	return e.call(e.download, p, file, true)
}

// Apply puts the staged release in the file's place.
func (e *Engine) Apply(p *Program, file string) Result { return e.call(e.apply, p, file, true) }

// Update checks, downloads and applies, on the running program's own file.
func (e *Engine) Update(p *Program) Result { return e.call(e.update, p, "", false) }

// UpdateFile does the same for another program file: the DLL itself, for one.
func (e *Engine) UpdateFile(p *Program, file string) Result {
	if file == "" {
		return e.Update(p)
	}
	return e.call(e.fileW, p, file, true)
}
