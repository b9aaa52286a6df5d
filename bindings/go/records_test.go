package update

import (
	"reflect"
	"testing"
	"unsafe"
)

// Every field's offset and size as api/fwstack_update.h lays it out on
// 64-bit Windows (pointers 8 bytes, uint64 aligned to 8).
func TestLayoutMatchesTheHeader(t *testing.T) {
	var s Settings
	var r Result
	rows := []struct {
		name         string
		offset, size uintptr
		wantOffset   uintptr
		wantSize     uintptr
	}{
		{"program_name", unsafe.Offsetof(s.ProgramName), unsafe.Sizeof(s.ProgramName), 0, 8},
		{"update_info_address", unsafe.Offsetof(s.UpdateInfoAddress), unsafe.Sizeof(s.UpdateInfoAddress), 8, 8},
		{"publisher", unsafe.Offsetof(s.Publisher), unsafe.Sizeof(s.Publisher), 16, 8},
		{"product_name", unsafe.Offsetof(s.ProductName), unsafe.Sizeof(s.ProductName), 24, 8},
		{"version_text", unsafe.Offsetof(s.VersionText), unsafe.Sizeof(s.VersionText), 32, 8},
		{"max_download_size", unsafe.Offsetof(s.MaxDownloadSize), unsafe.Sizeof(s.MaxDownloadSize), 40, 8},
		{"options", unsafe.Offsetof(s.Options), unsafe.Sizeof(s.Options), 48, 4},
		{"size", unsafe.Offsetof(s.Size), unsafe.Sizeof(s.Size), 52, 4},
		{"progress", unsafe.Offsetof(s.Progress), unsafe.Sizeof(s.Progress), 56, 8},
		{"progress_context", unsafe.Offsetof(s.ProgressContext), unsafe.Sizeof(s.ProgressContext), 64, 8},
		{"publisher_key", unsafe.Offsetof(s.PublisherKey), unsafe.Sizeof(s.PublisherKey), 72, 8},
		{"second_publisher_key", unsafe.Offsetof(s.SecondPublisherKey), unsafe.Sizeof(s.SecondPublisherKey), 80, 8},
		{"sizeof(fwstack_settings)", 0, unsafe.Sizeof(s), 0, 88},
		{"state", unsafe.Offsetof(r.State), unsafe.Sizeof(r.State), 0, 4},
		{"error", unsafe.Offsetof(r.Error), unsafe.Sizeof(r.Error), 4, 4},
		{"exit_code", unsafe.Offsetof(r.ExitCode), unsafe.Sizeof(r.ExitCode), 8, 4},
		{"report_length", unsafe.Offsetof(r.ReportLength), unsafe.Sizeof(r.ReportLength), 12, 4},
		{"report", unsafe.Offsetof(r.ReportBytes), unsafe.Sizeof(r.ReportBytes), 16, 257},
		{"reserved_padding", unsafe.Offsetof(r.ReservedPadding), unsafe.Sizeof(r.ReservedPadding), 273, 7},
		{"release_size", unsafe.Offsetof(r.ReleaseSize), unsafe.Sizeof(r.ReleaseSize), 280, 8},
		{"transfer_stage", unsafe.Offsetof(r.TransferStage), unsafe.Sizeof(r.TransferStage), 288, 4},
		{"system_error", unsafe.Offsetof(r.SystemError), unsafe.Sizeof(r.SystemError), 292, 4},
		{"http_status", unsafe.Offsetof(r.HTTPStatus), unsafe.Sizeof(r.HTTPStatus), 296, 4},
		{"installed_version", unsafe.Offsetof(r.InstalledVersion), unsafe.Sizeof(r.InstalledVersion), 300, 33},
		{"available_version", unsafe.Offsetof(r.AvailableVersion), unsafe.Sizeof(r.AvailableVersion), 333, 33},
		{"reserved", unsafe.Offsetof(r.Reserved), unsafe.Sizeof(r.Reserved), 366, 146},
		{"sizeof(fwstack_result)", 0, unsafe.Sizeof(r), 0, 512},
	}
	for _, row := range rows {
		if row.offset != row.wantOffset || row.size != row.wantSize {
			t.Errorf("%s: offset %d size %d, the header's %d and %d", row.name, row.offset,
				row.size, row.wantOffset, row.wantSize)
		}
	}
	// Every field of both records is in the table.
	if n := reflect.TypeOf(s).NumField() + reflect.TypeOf(r).NumField() + 2; n != len(rows) {
		t.Errorf("%d rows for %d fields and two sizes", len(rows), n)
	}
}

// The Go settings: texts zero-terminated, absent ones null, keys checked.
func TestSettingsFromProgram(t *testing.T) {
	key := make([]byte, 64)
	key[63] = 7
	s, ok := makeSettings(&Program{Name: "hello-go", Publisher: "P", PublisherKey: key})
	if !ok || s.record.Size != SettingsSize || s.record.VersionText != nil {
		t.Fatalf("settings %+v ok %v", s.record, ok)
	}
	name := unsafe.Slice(s.record.ProgramName, 9)
	if string(name) != "hello-go\x00" || *(*byte)(unsafe.Add(unsafe.Pointer(s.record.PublisherKey), 63)) != 7 {
		t.Errorf("name %q", name)
	}
	for _, bad := range [][]byte{{}, make([]byte, 63), make([]byte, 65)} {
		if _, ok := makeSettings(&Program{SecondPublisherKey: bad}); ok {
			t.Errorf("a key of %d bytes accepted", len(bad))
		}
	}
	if r := invalidKey(); r.State != Failed || r.ExitCode != 1 || r.Report() == "" ||
		int(r.ReportLength) != len(r.Report()) {
		t.Errorf("refused call's result %+v", r)
	}
}
