// Package update calls the fwstack self-update engine in fwstack_update.dll
// from Go without cgo: the DLL is loaded by its full path and its functions
// are called with the records of api/fwstack_update.h, laid out here byte for
// byte as the C header lays them out for 64-bit Windows.
//
// The records and constants build on every system (so their layout is tested
// natively); loading and calling the DLL is Windows-only.
package update

import "unsafe"

// Settings is fwstack_settings (88 bytes, version 2.1 of the header). Text
// fields point at zero-terminated ASCII; Program fills them from Go strings.
type Settings struct {
	ProgramName        *byte
	UpdateInfoAddress  *byte
	Publisher          *byte
	ProductName        *byte
	VersionText        *byte
	MaxDownloadSize    uint64
	Options            uint32
	Size               uint32
	Progress           uintptr // a callback made with syscall.NewCallback, or 0
	ProgressContext    uintptr
	PublisherKey       *byte // null or 64 bytes
	SecondPublisherKey *byte
}

// Result is fwstack_result (512 bytes in every 2.x version).
type Result struct {
	State            uint32
	Error            uint32
	ExitCode         uint32
	ReportLength     uint32
	ReportBytes      [ReportCapacity + 1]byte
	ReservedPadding  [7]byte
	ReleaseSize      uint64
	TransferStage    uint32
	SystemError      uint32
	HTTPStatus       uint32
	InstalledVersion [VersionCapacity + 1]byte
	AvailableVersion [VersionCapacity + 1]byte
	Reserved         [146]byte
}

const (
	SettingsSize    = 88
	ResultSize      = 512
	ReportCapacity  = 256
	VersionCapacity = 32
)

// The layout, checked when the package is compiled: each difference is zero
// for a record laid out as the header's, and a negative one overflows.
var _ = [1]struct{}{}[(unsafe.Sizeof(Settings{})-SettingsSize)|
	(unsafe.Sizeof(Result{})-ResultSize)|
	(unsafe.Offsetof(Settings{}.Size)-52)|
	(unsafe.Offsetof(Settings{}.SecondPublisherKey)-80)|
	(unsafe.Offsetof(Result{}.ReleaseSize)-280)|
	(unsafe.Offsetof(Result{}.Reserved)-366)]

// States (Result.State).
const (
	UpToDate          = 1
	Available         = 2
	AvailableReadOnly = 3
	Staged            = 4
	Updated           = 5
	Failed            = 7
	Installed         = 8
)

// Option bits (Program.Options).
const (
	AllowLocalHTTP       = 1
	NoRevocationCheck    = 2
	SkipVersionResource  = 4
	KeepStaged           = 8
	AllowUnsignedRelease = 16
)

// A few of the reasons (Result.Error); the header lists them all.
const (
	ErrorSettingsInvalid  = 1
	ErrorProgramNotFound  = 2
	ErrorInfoNotDelivered = 6
)

func text(bytes []byte) string {
	for i, b := range bytes {
		if b == 0 {
			return string(bytes[:i])
		}
	}
	return string(bytes)
}

// Report is the result's one line, ending in "\n".
func (r *Result) Report() string { return text(r.ReportBytes[:]) }

// Installed is the installed version as the engine read it; Announced the
// update document's.
func (r *Result) Installed() string { return text(r.InstalledVersion[:]) }
func (r *Result) Announced() string { return text(r.AvailableVersion[:]) }

// Program is what the engine knows of a program file, in Go types.
type Program struct {
	Name          string // 1 to 32 of A-Z a-z 0-9 . - _
	UpdateAddress string // https://<host>[:<port>]/<path>/latest.txt
	Publisher     string // the common name that must have signed a release
	Product       string // the HTTP user agent
	// The installed version, "X.Y.Z"; empty: read from the file's version resource.
	Version         string
	MaxDownloadSize uint64
	Options         uint32
	// Each nil or 64 bytes: ECDSA P-256 public keys, X then Y.
	PublisherKey, SecondPublisherKey []byte
}

// settings is the Program as the C record, with the memory it points at; the
// caller keeps it alive until the call returns.
type settings struct {
	record Settings
	texts  [][]byte
}

func (s *settings) text(value string) *byte {
	if value == "" {
		return nil
	}
	b := append([]byte(value), 0)
	s.texts = append(s.texts, b)
	return &b[0]
}

// makeSettings is false for a key that is neither nil nor 64 bytes: the
// engine would read 64 bytes from it.
func makeSettings(p *Program) (*settings, bool) {
	s := &settings{}
	s.record = Settings{
		ProgramName:       s.text(p.Name),
		UpdateInfoAddress: s.text(p.UpdateAddress),
		Publisher:         s.text(p.Publisher),
		ProductName:       s.text(p.Product),
		VersionText:       s.text(p.Version),
		MaxDownloadSize:   p.MaxDownloadSize,
		Options:           p.Options,
		Size:              SettingsSize,
	}
	for i, key := range [][]byte{p.PublisherKey, p.SecondPublisherKey} {
		if key == nil {
			continue
		}
		if len(key) != 64 {
			return nil, false
		}
		copied := append([]byte(nil), key...)
		s.texts = append(s.texts, copied)
		if i == 0 {
			s.record.PublisherKey = &copied[0]
		} else {
			s.record.SecondPublisherKey = &copied[0]
		}
	}
	return s, true
}

// invalidKey is the result of a call refused here, before the engine: a key
// of another length than 64 bytes.
func invalidKey() Result {
	r := Result{State: Failed, Error: ErrorSettingsInvalid, ExitCode: 1}
	line := "update failed: a publisher key is not 64 bytes\n"
	r.ReportLength = uint32(copy(r.ReportBytes[:ReportCapacity], line))
	return r
}
