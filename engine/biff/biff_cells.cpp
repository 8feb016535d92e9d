#include "engine/biff/biff_cells.h"
#include "engine/biff/pieces.h"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <limits>
#include <map>
#include <memory>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"

namespace tabulon {
namespace {

using Bytes = std::span<const std::uint8_t>;

// The record types read here.
constexpr std::uint16_t kFormula = 0x0006;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kDateMode = 0x0022;
constexpr std::uint16_t kFilePass = 0x002F;
constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint16_t kCodePage = 0x0042;
constexpr std::uint16_t kBoundSheet = 0x0085;
constexpr std::uint16_t kMulRk = 0x00BD;
constexpr std::uint16_t kMulBlank = 0x00BE;
constexpr std::uint16_t kRString = 0x00D6;
constexpr std::uint16_t kXf = 0x00E0;
constexpr std::uint16_t kSst = 0x00FC;
constexpr std::uint16_t kLabelSst = 0x00FD;
constexpr std::uint16_t kBlank = 0x0201;
constexpr std::uint16_t kNumber = 0x0203;
constexpr std::uint16_t kLabel = 0x0204;
constexpr std::uint16_t kBoolErr = 0x0205;
constexpr std::uint16_t kString = 0x0207;
constexpr std::uint16_t kRk = 0x027E;
constexpr std::uint16_t kFormat = 0x041E;
constexpr std::uint16_t kBof = 0x0809;

// Substream types in a BOF record.
constexpr std::uint16_t kGlobalsSubstream = 0x0005;
constexpr std::uint16_t kVbModuleSubstream = 0x0006;
constexpr std::uint16_t kChartSubstream = 0x0020;
constexpr std::uint16_t kMacroSubstream = 0x0040;

constexpr std::size_t kRecordHeaderSize = 4;
constexpr std::uint16_t kMaxLength = 8224;  // the longest record body BIFF8 allows
constexpr std::uint16_t kHighestType = 0x10FF;  // every record type is below (charts 0x10xx)

// ---------------------------------------------------------------------------------------
// Record types and the body lengths they can have. Lengths differ between BIFF5 and BIFF8
// for several records; the range covers both. Records of variable length are bounded by
// their fixed fields and the longest record, and those that hold a list of fixed-size entries
// by whole entries.

struct RecordShape {
    std::uint16_t type;
    std::uint16_t minLength;
    std::uint16_t maxLength;
    std::uint16_t step = 1;  // lists of fixed-size entries grow by their size
};

constexpr RecordShape kRecordShapes[] = {
    {0x0006, 20, kMaxLength},  // FORMULA
    {0x000A, 0, 0},            // EOF
    {0x000C, 2, 2},            // CALCCOUNT
    {0x000D, 2, 2},            // CALCMODE
    {0x000E, 2, 2},            // PRECISION
    {0x000F, 2, 2},            // REFMODE
    {0x0010, 8, 8},            // DELTA
    {0x0011, 2, 2},            // ITERATION
    {0x0012, 2, 2},            // PROTECT
    {0x0013, 2, 2},            // PASSWORD
    {0x0014, 0, 513},          // HEADER (up to 255 characters)
    {0x0015, 0, 513},          // FOOTER
    {0x0016, 2, 2},            // EXTERNCOUNT (BIFF5)
    {0x0017, 2, kMaxLength},   // EXTERNSHEET
    {0x0018, 14, kMaxLength},  // NAME
    {0x0019, 2, 2},            // WINDOWPROTECT
    {0x001A, 2, kMaxLength},   // VERTICALPAGEBREAKS
    {0x001B, 2, kMaxLength},   // HORIZONTALPAGEBREAKS
    {0x001C, 6, kMaxLength},   // NOTE
    {0x001D, 9, kMaxLength, 6},   // SELECTION
    {0x001E, 3, kMaxLength},   // FORMAT (BIFF5)
    {0x0022, 2, 2},            // DATEMODE
    {0x0023, 4, kMaxLength},   // EXTERNNAME
    {0x0026, 8, 8},            // LEFTMARGIN
    {0x0027, 8, 8},            // RIGHTMARGIN
    {0x0028, 8, 8},            // TOPMARGIN
    {0x0029, 8, 8},            // BOTTOMMARGIN
    {0x002A, 2, 2},            // PRINTHEADERS
    {0x002B, 2, 2},            // PRINTGRIDLINES
    {0x002F, 4, 1024},         // FILEPASS
    {0x0031, 15, 526},         // FONT
    {0x0033, 2, 2},            // PRINTSIZE
    {0x003C, 0, kMaxLength},   // CONTINUE
    {0x003D, 18, 18},          // WINDOW1
    {0x0040, 2, 2},            // BACKUP
    {0x0041, 9, 10},           // PANE
    {0x0042, 2, 2},            // CODEPAGE
    {0x004D, 2, kMaxLength},   // PLS
    {0x0050, 8, 8},            // DCON
    {0x0051, 6, kMaxLength},   // DCONREF
    {0x0052, 3, kMaxLength},   // DCONNAME
    {0x0055, 2, 2},            // DEFCOLWIDTH
    {0x0059, 2, 4},            // XCT
    {0x005A, 4, kMaxLength},   // CRN
    {0x005B, 6, kMaxLength},   // FILESHARING
    {0x005C, 2, 112},          // WRITEACCESS
    {0x005D, 4, kMaxLength},   // OBJ
    {0x005E, 0, 4},            // UNCALCED
    {0x005F, 2, 2},            // SAVERECALC
    {0x0060, 0, 0},            // TEMPLATE
    {0x0061, 2, 2},            // INTL
    {0x0063, 2, 2},            // OBJECTPROTECT
    {0x007D, 10, 12},          // COLINFO
    {0x007F, 8, kMaxLength},   // IMDATA
    {0x0080, 8, 8},            // GUTS
    {0x0081, 2, 2},            // WSBOOL
    {0x0082, 2, 2},            // GRIDSET
    {0x0083, 2, 2},            // HCENTER
    {0x0084, 2, 2},            // VCENTER
    {0x0085, 7, 518},          // BOUNDSHEET
    {0x0086, 0, 0},            // WRITEPROT
    {0x008C, 4, 4},            // COUNTRY
    {0x008D, 2, 2},            // HIDEOBJ
    {0x0090, 5, kMaxLength},   // SORT
    {0x0092, 2, 226, 4},          // PALETTE (56 colours)
    {0x0097, 4, 4},            // SYNC
    {0x0098, 0, kMaxLength},   // LPR
    {0x0099, 2, 2},            // STANDARDWIDTH
    {0x009A, 0, kMaxLength},   // FNGROUPNAME
    {0x009B, 0, 0},            // FILTERMODE
    {0x009C, 2, 2},            // FNGROUPCOUNT
    {0x009D, 2, 2},            // AUTOFILTERINFO
    {0x009E, 4, kMaxLength},   // AUTOFILTER
    {0x00A0, 4, 4},            // SCL
    {0x00A1, 34, 34},          // SETUP
    {0x00AB, 34, 34},          // GCW
    {0x00AE, 2, kMaxLength},   // SCENMAN
    {0x00AF, 4, kMaxLength},   // SCENARIO
    {0x00B0, 0, kMaxLength},   // SXVIEW and the pivot table records after it
    {0x00B1, 0, kMaxLength},   // SXVD
    {0x00B2, 0, kMaxLength},   // SXVI
    {0x00B4, 0, kMaxLength},   // SXIVD
    {0x00B5, 0, kMaxLength},   // SXLI
    {0x00B6, 0, kMaxLength},   // SXPI
    {0x00B8, 0, kMaxLength},   // DOCROUTE
    {0x00B9, 0, kMaxLength},   // RECIPNAME
    {0x00BD, 12, kMaxLength, 6},  // MULRK
    {0x00BE, 8, kMaxLength, 2},   // MULBLANK
    {0x00BF, 0, kMaxLength},   // TOOLBARHDR
    {0x00C0, 0, 0},            // TOOLBAREND
    {0x00C1, 2, 2},            // MMS
    {0x00C2, 0, kMaxLength},   // ADDMENU
    {0x00C3, 0, kMaxLength},   // DELMENU
    {0x00C5, 0, kMaxLength},   // SXDI
    {0x00C6, 0, kMaxLength},   // SXDB
    {0x00C7, 0, kMaxLength},   // SXFDB
    {0x00C8, 0, kMaxLength},   // SXDBB
    {0x00C9, 0, kMaxLength},   // SXNUM
    {0x00CA, 0, kMaxLength},   // SXBOOL
    {0x00CB, 0, kMaxLength},   // SXERR
    {0x00CC, 0, kMaxLength},   // SXINT
    {0x00CD, 0, kMaxLength},   // SXSTRING
    {0x00CE, 0, kMaxLength},   // SXDTR
    {0x00CF, 0, kMaxLength},   // SXNIL
    {0x00D0, 0, kMaxLength},   // SXTBL
    {0x00D1, 0, kMaxLength},   // SXTBRGIITM
    {0x00D2, 0, kMaxLength},   // SXTBPG
    {0x00D3, 0, 0},            // OBPROJ
    {0x00D5, 2, 2},            // SXIDSTM
    {0x00D6, 8, kMaxLength},   // RSTRING
    {0x00D7, 4, kMaxLength, 2},   // DBCELL
    {0x00D8, 0, kMaxLength},   // SXRNG
    {0x00D9, 0, kMaxLength},   // SXISXOPER
    {0x00DA, 2, 2},            // BOOKBOOL
    {0x00DC, 0, kMaxLength},   // PARAMQRY
    {0x00DD, 2, 2},            // SCENPROTECT
    {0x00DE, 6, 8},            // OLESIZE
    {0x00E0, 16, 20},          // XF
    {0x00E1, 0, 2},            // INTERFACEHDR
    {0x00E2, 0, 0},            // INTERFACEEND
    {0x00E3, 2, 2},            // SXVS
    {0x00E5, 2, kMaxLength, 8},   // MERGEDCELLS
    {0x00E9, 8, kMaxLength},   // BITMAP
    {0x00EB, 0, kMaxLength},   // MSODRAWINGGROUP
    {0x00EC, 0, kMaxLength},   // MSODRAWING
    {0x00ED, 0, kMaxLength},   // MSODRAWINGSELECTION
    {0x00EF, 6, kMaxLength},   // PHONETIC
    {0x00F0, 0, kMaxLength},   // SXRULE
    {0x00F1, 0, kMaxLength},   // SXEX
    {0x00F2, 0, kMaxLength},   // SXFILT
    {0x00F4, 0, kMaxLength},   // SXDXF
    {0x00F5, 0, kMaxLength},   // SXITM
    {0x00F6, 0, kMaxLength},   // SXNAME
    {0x00F7, 0, kMaxLength},   // SXSELECT
    {0x00F8, 0, kMaxLength},   // SXPAIR
    {0x00F9, 0, kMaxLength},   // SXFMLA
    {0x00FB, 0, kMaxLength},   // SXFORMAT
    {0x00FC, 8, kMaxLength},   // SST
    {0x00FD, 10, 10},          // LABELSST
    {0x00FF, 2, kMaxLength},   // EXTSST
    {0x0100, 0, kMaxLength},   // SXVDEX
    {0x0103, 0, kMaxLength},   // SXFORMULA
    {0x0122, 0, kMaxLength},   // SXDBEX
    {0x013D, 2, kMaxLength, 2},   // TABID
    {0x015F, 4, kMaxLength},   // LABELRANGES
    {0x0160, 2, 2},            // USESELFS
    {0x0161, 2, 2},            // DSF
    {0x01A9, 0, kMaxLength},   // USERBVIEW
    {0x01AA, 0, kMaxLength},   // USERSVIEWBEGIN
    {0x01AB, 2, 2},            // USERSVIEWEND
    {0x01AD, 0, kMaxLength},   // QSI
    {0x01AE, 4, kMaxLength},   // SUPBOOK
    {0x01AF, 2, 2},            // PROT4REV
    {0x01B0, 12, kMaxLength},  // CONDFMT
    {0x01B1, 6, kMaxLength},   // CF
    {0x01B2, 18, 18},          // DVAL
    {0x01B5, 0, kMaxLength},   // DCONBIN
    {0x01B6, 6, kMaxLength},   // TXO
    {0x01B7, 2, 2},            // REFRESHALL
    {0x01B8, 32, kMaxLength},  // HLINK
    {0x01B9, 0, kMaxLength},   // LEL
    {0x01BA, 2, kMaxLength},   // CODENAME
    {0x01BB, 2, 2},            // SXFDBTYPE
    {0x01BC, 2, 2},            // PROT4REVPASS
    {0x01BD, 0, 0},            // OBNOMACROS
    {0x01BE, 12, kMaxLength},  // DV
    {0x01C0, 0, 0},            // EXCEL9FILE
    {0x01C1, 8, 8},            // RECALCID
    {0x01C2, 0, kMaxLength},   // ENTEXU2
    {0x0200, 10, 14},          // DIMENSIONS
    {0x0201, 6, 6},            // BLANK
    {0x0203, 14, 14},          // NUMBER
    {0x0204, 8, kMaxLength},   // LABEL
    {0x0205, 8, 8},            // BOOLERR
    {0x0207, 2, kMaxLength},   // STRING
    {0x0208, 16, 16},          // ROW
    {0x020B, 12, kMaxLength, 4},  // INDEX
    {0x0221, 12, kMaxLength},  // ARRAY
    {0x0225, 4, 4},            // DEFAULTROWHEIGHT
    {0x0236, 12, 16},          // TABLEOP
    {0x023E, 10, 18},          // WINDOW2
    // Column widths as some programs write them in BIFF5 workbooks: COLINFO's layout with
    // the type 0x027D, which the documentation does not have.
    {0x027D, 10, 12},
    {0x027E, 10, 10},          // RK
    {0x0293, 4, 515},          // STYLE
    {0x0418, 0, kMaxLength},   // BIGNAME
    {0x041E, 4, kMaxLength},   // FORMAT
    {0x043C, 0, kMaxLength},   // CONTINUEBIGNAME
    {0x04BC, 10, kMaxLength},  // SHRFMLA
    // From here on the records of Excel 97 and later that begin with their own type.
    {0x0800, 10, kMaxLength},  // HLINKTOOLTIP
    {0x0801, 0, kMaxLength},   // WEBPUB
    {0x0802, 0, kMaxLength},   // QSISXTAG
    {0x0803, 0, kMaxLength},   // DBQUERYEXT
    {0x0804, 0, kMaxLength},   // EXTSTRING
    {0x0805, 0, kMaxLength},   // TXTQUERY
    {0x0806, 0, kMaxLength},   // QSIR
    {0x0807, 0, kMaxLength},   // QSIF
    {0x0808, 0, kMaxLength},   // RRDTQSIF
    {0x0809, 4, 20},           // BOF (BIFF5 8 bytes, BIFF8 16)
    {0x080A, 0, kMaxLength},   // OLEDBCONN
    {0x080B, 0, kMaxLength},   // WOPT
    {0x080C, 0, kMaxLength},   // SXVIEWEX
    {0x080D, 0, kMaxLength},   // SXTH
    {0x080E, 0, kMaxLength},   // SXPIEX
    {0x080F, 0, kMaxLength},   // SXVDTEX
    {0x0810, 0, kMaxLength},   // SXVIEWEX9
    {0x0812, 4, kMaxLength},   // CONTINUEFRT
    {0x0813, 0, kMaxLength},   // REALTIMEDATA
    {0x0850, 4, kMaxLength},   // CHARTFRTINFO
    {0x0851, 4, kMaxLength},   // FRTWRAPPER
    {0x0852, 4, kMaxLength},   // STARTBLOCK
    {0x0853, 4, kMaxLength},   // ENDBLOCK
    {0x0854, 4, kMaxLength},   // STARTOBJECT
    {0x0855, 4, kMaxLength},   // ENDOBJECT
    {0x0856, 4, kMaxLength},   // CATLAB
    {0x0857, 4, kMaxLength},   // YMULT
    {0x0858, 4, kMaxLength},   // SXVIEWLINK
    {0x0859, 4, kMaxLength},   // PIVOTCHARTBITS
    {0x085A, 4, kMaxLength},   // FRTFONTLIST
    {0x0862, 20, kMaxLength},  // SHEETEXT
    {0x0863, 16, kMaxLength},  // BOOKEXT
    {0x0864, 4, kMaxLength},   // SXADDL
    {0x0865, 4, kMaxLength},   // CRERR
    {0x0866, 4, kMaxLength},   // HFPICTURE
    {0x0867, 4, kMaxLength},   // FEATHDR
    {0x0868, 4, kMaxLength},   // FEAT
    {0x086A, 4, kMaxLength},   // DATALABEXT
    {0x086B, 4, kMaxLength},   // DATALABEXTCONTENTS
    {0x086C, 4, kMaxLength},   // CELLWATCH
    {0x0871, 4, kMaxLength},   // FEATHDR11
    {0x0872, 4, kMaxLength},   // FEAT11
    {0x0874, 4, kMaxLength},   // DROPDOWNOBJIDS
    {0x0875, 4, kMaxLength},   // CONTINUEFRT11
    {0x0876, 4, kMaxLength},   // DCONN
    {0x0877, 4, kMaxLength},   // LIST12
    {0x0878, 4, kMaxLength},   // FEAT12
    {0x0879, 4, kMaxLength},   // CONDFMT12
    {0x087A, 4, kMaxLength},   // CF12
    {0x087B, 4, kMaxLength},   // CFEX
    {0x087C, 20, 20},          // XFCRC
    {0x087D, 20, kMaxLength},  // XFEXT
    {0x087E, 4, kMaxLength},   // AUTOFILTER12
    {0x087F, 4, kMaxLength},   // CONTINUEFRT12
    {0x0884, 4, kMaxLength},   // MDTINFO
    {0x0885, 4, kMaxLength},   // MDXSTR
    {0x0886, 4, kMaxLength},   // MDXTUPLE
    {0x0887, 4, kMaxLength},   // MDXSET
    {0x0888, 4, kMaxLength},   // MDXPROP
    {0x0889, 4, kMaxLength},   // MDXKPI
    {0x088A, 4, kMaxLength},   // MDB
    {0x088B, 16, 16},          // PLV
    {0x088C, 16, 16},          // COMPAT12
    {0x088D, 4, kMaxLength},   // DXF
    {0x088E, 20, kMaxLength},  // TABLESTYLES
    {0x088F, 4, kMaxLength},   // TABLESTYLE
    {0x0890, 4, kMaxLength},   // TABLESTYLEELEMENT
    {0x0892, 4, kMaxLength},   // STYLEEXT
    {0x0893, 4, kMaxLength},   // NAMEPUBLISH
    {0x0894, 4, kMaxLength},   // NAMECMT
    {0x0895, 4, kMaxLength},   // SORTDATA
    {0x0896, 4, kMaxLength},   // THEME
    {0x0897, 4, kMaxLength},   // GUIDTYPELIB
    {0x0898, 4, kMaxLength},   // FNGRP12
    {0x0899, 4, kMaxLength},   // NAMEFNGRP12
    {0x089A, 24, 24},          // MTRSETTINGS
    {0x089B, 16, 16},          // COMPRESSPICTURES
    {0x089C, 4, kMaxLength},   // HEADERFOOTER
    {0x089D, 4, kMaxLength},   // CRTLAYOUT12
    {0x089E, 4, kMaxLength},   // CRTMLFRT
    {0x089F, 4, kMaxLength},   // CRTMLFRTCONTINUE
    {0x08A3, 16, 16},          // FORCEFULLCALCULATION
    {0x08A4, 4, kMaxLength},   // SHAPEPROPSSTREAM
    {0x08A5, 4, kMaxLength},   // TEXTPROPSSTREAM
    {0x08A6, 4, kMaxLength},   // RICHTEXTSTREAM
    {0x08A7, 4, kMaxLength},   // CRTLAYOUT12A
    // Written by Excel 2010 and later into the sheets and the globals, in the same shape as
    // the records above, but not in the documentation.
    {0x08C8, 12, kMaxLength},
    {0x08D6, 12, kMaxLength},
    // Chart records.
    {0x1001, 2, 2},            // UNITS
    {0x1002, 16, 16},          // CHART
    {0x1003, 8, 12},           // SERIES
    {0x1006, 8, 8},            // DATAFORMAT
    {0x1007, 10, 12},          // LINEFORMAT
    {0x1009, 12, 20},          // MARKERFORMAT
    {0x100A, 12, 16},          // AREAFORMAT
    {0x100B, 2, 2},            // PIEFORMAT
    {0x100C, 2, 2},            // ATTACHEDLABEL
    {0x100D, 1, kMaxLength},   // SERIESTEXT
    {0x1014, 20, 20},          // CHARTFORMAT
    {0x1015, 20, 20},          // LEGEND
    {0x1016, 2, kMaxLength},   // SERIESLIST
    {0x1017, 6, 6},            // BAR
    {0x1018, 2, 2},            // LINE
    {0x1019, 4, 6},            // PIE
    {0x101A, 2, 2},            // AREA
    {0x101B, 0, 6},            // SCATTER
    {0x101C, 2, 2},            // CHARTLINE
    {0x101D, 18, 18},          // AXIS
    {0x101E, 26, 30},          // TICK
    {0x101F, 42, 42},          // VALUERANGE
    {0x1020, 6, 8},            // CATSERRANGE
    {0x1021, 2, 2},            // AXISLINEFORMAT
    {0x1022, 0, kMaxLength},   // CHARTFORMATLINK
    {0x1024, 2, 2},            // DEFAULTTEXT
    {0x1025, 26, 32},          // TEXT
    {0x1026, 2, 2},            // FONTX
    {0x1027, 6, 6},            // OBJECTLINK
    {0x1032, 4, 4},            // FRAME
    {0x1033, 0, 0},            // BEGIN
    {0x1034, 0, 0},            // END
    {0x1035, 0, 0},            // PLOTAREA
    {0x103A, 14, 14},          // CHART3D
    {0x103C, 2, 2},            // PICF
    {0x103D, 2, 2},            // DROPBAR
    {0x103E, 2, 4},            // RADAR
    {0x103F, 2, 2},            // SURFACE
    {0x1040, 2, 2},            // RADARAREA
    {0x1041, 18, 18},          // AXISPARENT
    {0x1043, 4, 4},            // LEGENDXN
    {0x1044, 2, 4},            // SHTPROPS
    {0x1045, 2, 2},            // SERTOCRT
    {0x1046, 2, 2},            // AXESUSED
    {0x1048, 8, 8},            // SBASEREF
    {0x104A, 2, 2},            // SERPARENT
    {0x104B, 28, 28},          // SERAUXTREND
    {0x104E, 2, 2},            // IFMT
    {0x104F, 20, 20},          // POS
    {0x1050, 2, kMaxLength},   // ALRUNS
    {0x1051, 8, kMaxLength},   // AI
    {0x105B, 14, 14},          // SERAUXERRBAR
    {0x105C, 2, kMaxLength},   // CLRTCLIENT
    {0x105D, 2, 2},            // SERFMT
    {0x105F, 2, 2},            // CHART3DBARSHAPE
    {0x1060, 10, 10},          // FBI
    {0x1061, 18, 22},          // BOPPOP
    {0x1062, 18, 18},          // AXCEXT
    {0x1063, 2, 2},            // DAT
    {0x1064, 8, 8},            // PLOTGROWTH
    {0x1065, 2, 2},            // SIINDEX
    {0x1066, 0, kMaxLength},   // GELFRAME
    {0x1067, 0, kMaxLength},   // BOPPOPCUSTOM
    {0x1068, 0, kMaxLength},   // FBI2
};

static_assert(std::is_sorted(std::begin(kRecordShapes), std::end(kRecordShapes),
                             [](const RecordShape& a, const RecordShape& b) { return a.type < b.type; }),
              "the record table is searched by halves");

const RecordShape* ShapeOf(std::uint16_t type)
{
    const auto shape = std::lower_bound(std::begin(kRecordShapes), std::end(kRecordShapes), type,
                                        [](const RecordShape& s, std::uint16_t t) { return s.type < t; });
    return shape != std::end(kRecordShapes) && shape->type == type ? shape : nullptr;
}

// ---------------------------------------------------------------------------------------
// Walking the records.

Bytes Body(Bytes stream, const BiffRecord& record)
{
    return stream.subspan(record.offset + kRecordHeaderSize, record.length);
}

bool PlausibleAt(Bytes stream, std::size_t offset)
{
    const std::optional<BiffRecord> record = RecordAt(stream, static_cast<std::uint32_t>(offset));
    return record && PlausibleRecord(record->type, record->length);
}

// Whether the record ends the stream or another plausible record follows it.
bool FollowedByPlausible(Bytes stream, const BiffRecord& record)
{
    const std::size_t end = std::size_t{record.offset} + kRecordHeaderSize + record.length;
    return end == stream.size() || PlausibleAt(stream, end);
}

// Record after record from a start offset. A record is taken when it is plausible, or when
// its type and length are within what any record has and a plausible record follows it (a
// record type this reader does not know). Anything else is a break in the chain, and the
// walk goes on where records make sense again (see Resynchronise).
class RecordWalker {
public:
    RecordWalker(Bytes stream, std::size_t from) : stream_(stream), position_(from) {}

    std::optional<BiffRecord> Next()
    {
        while (position_ + kRecordHeaderSize <= stream_.size()) {
            const std::optional<BiffRecord> record = RecordAt(stream_, static_cast<std::uint32_t>(position_));
            if (record && (PlausibleRecord(record->type, record->length) ||
                           (record->type <= kHighestType && record->length <= kMaxLength &&
                            FollowedByPlausible(stream_, *record)))) {
                position_ += kRecordHeaderSize + record->length;
                return record;
            }
            position_ = Resynchronise(position_ + 1);
            resynchronised_ = true;
        }
        position_ = stream_.size();
        return std::nullopt;
    }

    // Whether the walk went past a break in the chain.
    bool Resynchronised() const { return resynchronised_; }

    // The record Next would give, without moving on.
    std::optional<BiffRecord> Peek() const
    {
        RecordWalker probe = *this;
        return probe.Next();
    }

    // The records after the current one while they are CONTINUE records: the walker stays
    // on the last of them.
    std::vector<Bytes> Continuations()
    {
        std::vector<Bytes> bodies;
        for (RecordWalker probe = *this;;) {
            const std::optional<BiffRecord> next = probe.Next();
            if (!next || next->type != kContinue)
                return bodies;
            bodies.push_back(Body(stream_, *next));
            *this = probe;
        }
    }

private:
    // How far the window after the first place where records make sense again reaches, in
    // which the best place is chosen.
    static constexpr std::size_t kWindow = 2048;

    struct ChainWeights;

    // The end of the plausible record at `offset`, or nothing.
    std::optional<std::size_t> PlausibleEnd(std::size_t offset) const
    {
        const std::optional<BiffRecord> record = RecordAt(stream_, static_cast<std::uint32_t>(offset));
        if (!record || !PlausibleRecord(record->type, record->length))
            return std::nullopt;
        return offset + kRecordHeaderSize + record->length;
    }

    // What a plausible record at `offset` says for the place: a record whose type allows a
    // few lengths only rarely fits stray bytes, one of any length often does.
    std::uint32_t Weight(std::size_t offset) const
    {
        const RecordShape* shape = ShapeOf(LoadLe16(stream_.data() + offset));
        return shape->maxLength - shape->minLength <= 8 ? 3 : 1;
    }

    // Past a break, the walk goes on at a plausible record that a plausible record follows
    // (or that ends the stream). Stray bytes inside a damaged record often look like that,
    // and the length of such a record would swallow real ones: of the places within a
    // window from the first, the walk takes the one that the weightiest chain of plausible
    // records starts from, which real records, short and one after another, win. Of equal
    // chains the first is taken.
    std::size_t Resynchronise(std::size_t from)
    {
        std::size_t first = from;
        for (;; ++first) {
            if (first + kRecordHeaderSize > stream_.size())
                return stream_.size();
            const std::optional<std::size_t> end = PlausibleEnd(first);
            if (end && (*end == stream_.size() || PlausibleEnd(*end)))
                break;
        }
        const ChainWeights& weights = Weights(first);
        return weights.start + weights.best[first - weights.start];
    }

    // The weight of the chain of plausible records from each place of a stretch, chains
    // followed to the stretch's end, and for each place the best one in the window from it.
    // A stretch reaches two windows and a half; it is computed afresh only when a window
    // from `first` would reach into its last half window, so that the work stays in
    // proportion to the stream however often the chain breaks.
    struct ChainWeights {
        std::size_t start = 0, end = 0;
        std::vector<std::uint32_t> weight;
        std::vector<std::uint32_t> best;  // relative to start
    };

    const ChainWeights& Weights(std::size_t first)
    {
        if (!weights_)
            weights_ = std::make_shared<ChainWeights>();
        ChainWeights& w = *weights_;
        if (!w.weight.empty() && first >= w.start && (first + kWindow + kWindow / 2 <= w.end || w.end == stream_.size()))
            return w;
        w.start = first;
        w.end = std::min(stream_.size(), first + 2 * kWindow + kWindow / 2);
        const std::size_t size = w.end - first;
        w.weight.assign(size, 0);
        for (std::size_t i = size; i-- > 0;) {
            if (const std::optional<std::size_t> end = PlausibleEnd(first + i))
                w.weight[i] = Weight(first + i) + (*end < w.end ? w.weight[*end - first] : 0);
        }
        // The heaviest place of each window, the first of equals: places in order, each
        // lighter than the one before it (or as heavy), the heaviest at the front.
        w.best.assign(size, 0);
        std::deque<std::uint32_t> heaviest;
        std::size_t added = 0;
        for (std::size_t i = 0; i < size; ++i) {
            for (; added < std::min(size, i + kWindow); ++added) {
                while (!heaviest.empty() && w.weight[heaviest.back()] < w.weight[added])
                    heaviest.pop_back();
                heaviest.push_back(static_cast<std::uint32_t>(added));
            }
            while (heaviest.front() < i)
                heaviest.pop_front();
            w.best[i] = heaviest.front();
        }
        return w;
    }

    Bytes stream_;
    std::size_t position_;
    bool resynchronised_ = false;
    // Depends on the stream only, so that copies of the walker share it.
    std::shared_ptr<ChainWeights> weights_;
};

struct Bof {
    int biff = 0;
    std::uint16_t substream = 0;
};

std::optional<Bof> ParseBof(Bytes stream, const BiffRecord& record)
{
    if (record.type != kBof || record.length < 4)
        return std::nullopt;
    const Bytes body = Body(stream, record);
    const std::uint16_t version = LoadLe16(body.data());
    Bof bof;
    bof.substream = LoadLe16(body.data() + 2);
    // BIFF8 writes 0x0600, BIFF5 and BIFF7 0x0500; other programs sometimes write neither,
    // and then the length tells.
    bof.biff = version == 0x0600 ? 8 : version == 0x0500 ? 5 : record.length >= 16 ? 8 : 5;
    return bof;
}

std::optional<Bof> BofAt(Bytes stream, std::size_t offset)
{
    if (offset > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    const std::optional<BiffRecord> record = RecordAt(stream, static_cast<std::uint32_t>(offset));
    return record ? ParseBof(stream, *record) : std::nullopt;
}

std::uint8_t SheetKind(std::uint16_t substream)
{
    switch (substream) {
    case kMacroSubstream: return 1;
    case kChartSubstream: return 2;
    case kVbModuleSubstream: return 6;
    default: return 0;
    }
}



// A BIFF8 string: its length in `lengthBytes` bytes, a flags byte, the rich-text run count
// and the size of the far-east data when the flags announce them, the characters, and then
// the runs and far-east data, which are skipped.
std::optional<std::u16string> ReadUnicodeUnits(Pieces& in, int lengthBytes)
{
    std::uint16_t count = 0;
    if (lengthBytes == 1) {
        std::uint8_t shortCount = 0;
        if (!in.Byte(shortCount))
            return std::nullopt;
        count = shortCount;
    } else if (!in.Le16(count)) {
        return std::nullopt;
    }
    std::uint8_t flags = 0;
    std::uint16_t runs = 0;
    std::uint32_t farEast = 0;
    if (!in.Byte(flags) || ((flags & 0x08) && !in.Le16(runs)) || ((flags & 0x04) && !in.Le32(farEast)))
        return std::nullopt;
    std::u16string units;
    if (!in.Chars(count, (flags & 0x01) != 0, units))
        return std::nullopt;
    // A string cut short in its runs or far-east data still has all its characters; what
    // follows it is lost, and the next read fails.
    if (!in.Skip(std::size_t{runs} * 4) || !in.Skip(farEast))
        in.Skip(std::numeric_limits<std::size_t>::max());
    return units;
}

std::optional<std::string> ReadUnicodeString(Pieces& in, int lengthBytes)
{
    const std::optional<std::u16string> units = ReadUnicodeUnits(in, lengthBytes);
    if (!units)
        return std::nullopt;
    return Utf8FromUtf16(*units);
}

// A BIFF5 string: its length in two bytes, then that many bytes in the workbook's code page.
std::optional<std::string> ReadByteString(Bytes body, std::uint16_t codePage)
{
    if (body.size() < 2)
        return std::nullopt;
    const std::size_t count = LoadLe16(body.data());
    if (body.size() - 2 < count)
        return std::nullopt;
    return DecodeCodePage(body.subspan(2, count), codePage);
}

// ---------------------------------------------------------------------------------------
// Cells.

double RkNumber(std::uint32_t rk)
{
    double value = 0;
    if (rk & 0x02)
        value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);  // a 30-bit integer
    else
        value = std::bit_cast<double>(std::uint64_t{rk & 0xFFFF'FFFCu} << 32);  // the top of a double
    return (rk & 0x01) ? value / 100 : value;
}

struct Globals {
    int biff = 0;  // 0 when the stream has no workbook globals
    std::uint16_t codePage = 1252;
    bool date1904 = false;
    bool encrypted = false;
    std::vector<BiffRecord> boundSheets;
    std::vector<std::string> sharedStrings;
    std::map<std::uint16_t, bool> formatIsDate;  // by number format index, from FORMAT records
    std::vector<std::uint16_t> xfFormats;        // each XF record's number format index, in order
    std::size_t end = 0;  // where the records after the globals begin
};

// A sheet's cells, from the record after its BOF to its EOF.
class SheetReader {
public:
    SheetReader(Bytes stream, const Globals& globals, int biff, std::vector<CellValue>& cells)
        : stream_(stream), globals_(globals), biff_(biff), cells_(cells)
    {
    }

    void Read(std::size_t bofOffset)
    {
        RecordWalker walker(stream_, bofOffset);
        walker.Next();  // the BOF
        while (const std::optional<BiffRecord> record = walker.Next()) {
            // Past a break, stray bytes may look like an EOF record: there it is believed
            // only when the next substream or the end follows.
            if (record->type == kEof && (!walker.Resynchronised() || EndsSheet(walker.Peek())))
                return;
            if (record->type == kEof)
                continue;
            if (record->type == kBof) {
                // A chart inside the sheet is skipped; any other BOF begins the next
                // substream, and this sheet lost its EOF.
                const std::optional<Bof> bof = ParseBof(stream_, *record);
                if (!bof || bof->substream != kChartSubstream)
                    return;
                if (!SkipEmbedded(walker))
                    return;
                continue;
            }
            Take(*record, walker);
        }
    }

private:
    bool EndsSheet(const std::optional<BiffRecord>& next) const { return !next || next->type == kBof; }

    // Past an embedded chart's EOF; false when another BOF comes first, which no intact
    // chart holds.
    static bool SkipEmbedded(RecordWalker& walker)
    {
        while (const std::optional<BiffRecord> record = walker.Next()) {
            if (record->type == kEof)
                return true;
            if (record->type == kBof)
                return false;
        }
        return false;
    }

    CellValue& Add(Bytes body, CellKind kind)
    {
        CellValue& cell = cells_.emplace_back();
        cell.row = LoadLe16(body.data());
        cell.column = LoadLe16(body.data() + 2);
        cell.format = LoadLe16(body.data() + 4);
        cell.kind = kind;
        cell.offset = recordOffset_;
        return cell;
    }

    void AddText(Bytes body, std::string text) { Add(body, CellKind::Text).text = std::move(text); }

    std::optional<std::string> StringAt(Bytes body, std::size_t at, std::vector<Bytes> continuations = {})
    {
        if (biff_ != 8)
            return ReadByteString(body.subspan(at), globals_.codePage);
        continuations.insert(continuations.begin(), body.subspan(at));
        Pieces pieces(std::move(continuations));
        return ReadUnicodeString(pieces, 2);
    }

    void Take(const BiffRecord& record, RecordWalker& walker)
    {
        const Bytes body = Body(stream_, record);
        recordOffset_ = record.offset;
        switch (record.type) {
        case kNumber:
            if (body.size() >= 14)
                Add(body, CellKind::Number).number = std::bit_cast<double>(LoadLe64(body.data() + 6));
            break;
        case kRk:
            if (body.size() >= 10)
                Add(body, CellKind::Number).number = RkNumber(LoadLe32(body.data() + 6));
            break;
        case kMulRk:
            // Row, first column, then an XF index and a number for each column; the last
            // column closes the record.
            if (body.size() >= 12) {
                const std::uint16_t row = LoadLe16(body.data());
                const std::uint16_t first = LoadLe16(body.data() + 2);
                const std::size_t count = (body.size() - 6) / 6;
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint8_t* entry = body.data() + 4 + 6 * i;
                    CellValue& cell = cells_.emplace_back();
                    cell.offset = recordOffset_;
                    cell.row = row;
                    cell.column = static_cast<std::uint16_t>(first + i);
                    cell.format = LoadLe16(entry);
                    cell.number = RkNumber(LoadLe32(entry + 2));
                }
            }
            break;
        case kLabelSst:
            if (body.size() >= 10) {
                const std::uint32_t index = LoadLe32(body.data() + 6);
                if (index < globals_.sharedStrings.size())
                    AddText(body, globals_.sharedStrings[index]);
            }
            break;
        case kLabel:
        case kRString:  // a label with formatting runs after the text
            if (body.size() >= 8) {
                if (std::optional<std::string> text = StringAt(body, 6))
                    AddText(body, std::move(*text));
            }
            break;
        case kBoolErr:
            if (body.size() >= 8) {
                Add(body, body[7] ? CellKind::Error : CellKind::Boolean).code = body[6];
            }
            break;
        case kFormula:
            TakeFormula(body);
            return;  // keeps a string result waiting for its STRING record
        case kString:
            if (pendingString_) {
                const Bytes pending = *pendingString_;
                pendingString_.reset();
                std::vector<Bytes> continuations;
                if (biff_ == 8)
                    continuations = walker.Continuations();
                if (std::optional<std::string> text = StringAt(body, 0, std::move(continuations)))
                    AddText(pending, std::move(*text));
            }
            return;
        case kBlank:
        case kMulBlank:
            break;
        default:
            return;  // the records between a formula and its STRING record keep it waiting
        }
        pendingString_.reset();
    }

    // The last result is in bytes 6 to 13: a double, or, when the last two are 0xFFFF, a
    // type in the first byte: 0 text (in the STRING record that follows), 1 boolean, 2
    // error, 3 empty text; booleans and errors have their value in the third byte.
    void TakeFormula(Bytes body)
    {
        pendingString_.reset();
        if (body.size() < 20)
            return;
        if (LoadLe16(body.data() + 12) != 0xFFFF) {
            Add(body, CellKind::Number).number = std::bit_cast<double>(LoadLe64(body.data() + 6));
            return;
        }
        switch (body[6]) {
        case 0: pendingString_ = body; break;
        case 1: Add(body, CellKind::Boolean).code = body[8]; break;
        case 2: Add(body, CellKind::Error).code = body[8]; break;
        case 3: AddText(body, std::string()); break;
        default: break;
        }
    }

    Bytes stream_;
    const Globals& globals_;
    int biff_;
    std::vector<CellValue>& cells_;
    std::uint32_t recordOffset_ = 0;
    std::optional<Bytes> pendingString_;  // the body of a FORMULA record whose text is to come
};

// Where the workbook globals begin: at the start of an intact stream, else at the first BOF
// record of workbook globals.
std::optional<std::size_t> FindGlobals(Bytes stream)
{
    for (std::size_t offset = 0; offset + kRecordHeaderSize <= stream.size(); ++offset) {
        if (stream[offset] != 0x09 || stream[offset + 1] != 0x08)
            continue;
        const std::optional<Bof> bof = BofAt(stream, offset);
        if (bof && bof->substream == kGlobalsSubstream)
            return offset;
    }
    return std::nullopt;
}

std::vector<std::string> ReadSharedStrings(Bytes body, std::vector<Bytes> continuations)
{
    continuations.insert(continuations.begin(), body);
    Pieces pieces(std::move(continuations));
    std::uint32_t total = 0, unique = 0;
    std::vector<std::string> strings;
    if (!pieces.Le32(total) || !pieces.Le32(unique))
        return strings;
    // Each string takes three bytes at least: the count is believed only that far.
    strings.reserve(std::min<std::size_t>(unique, pieces.Size() / 3));
    for (std::uint32_t i = 0; i < unique; ++i) {
        std::optional<std::string> text = ReadUnicodeString(pieces, 2);
        if (!text)
            break;
        strings.push_back(std::move(*text));
    }
    return strings;
}

// The format code of a FORMAT record: after the format's index, a string with a 2-byte length
// in BIFF8 and a 1-byte length in BIFF5.
std::optional<std::string> FormatCode(Bytes body, const Globals& globals, std::vector<Bytes> continuations)
{
    if (globals.biff != 8) {
        const std::size_t count = body[2];
        if (body.size() - 3 < count)
            return std::nullopt;
        return DecodeCodePage(body.subspan(3, count), globals.codePage);
    }
    continuations.insert(continuations.begin(), body.subspan(2));
    Pieces pieces(std::move(continuations));
    return ReadUnicodeString(pieces, 2);
}

// The built-in number formats that show dates or times, for an index no FORMAT record
// defines: 14 to 22 and 45 to 47 everywhere, 27 to 36 and 50 to 58 in East Asian versions,
// 71 to 81 in Thai ones.
bool BuiltInDateFormat(std::uint16_t index)
{
    return (index >= 14 && index <= 22) || (index >= 27 && index <= 36) || (index >= 45 && index <= 47) ||
           (index >= 50 && index <= 58) || (index >= 71 && index <= 81);
}

Globals ReadGlobals(Bytes stream)
{
    Globals globals;
    const std::optional<std::size_t> start = FindGlobals(stream);
    if (!start)
        return globals;
    globals.biff = BofAt(stream, *start)->biff;
    RecordWalker walker(stream, *start);
    walker.Next();  // the BOF
    while (const std::optional<BiffRecord> record = walker.Next()) {
        globals.end = std::size_t{record->offset} + kRecordHeaderSize + record->length;
        if (record->type == kEof)
            break;
        if (record->type == kBof) {  // the globals lost their EOF
            globals.end = record->offset;
            break;
        }
        const Bytes body = Body(stream, *record);
        switch (record->type) {
        case kCodePage:
            if (body.size() >= 2)
                globals.codePage = LoadLe16(body.data());
            break;
        case kDateMode:
            if (body.size() >= 2)
                globals.date1904 = LoadLe16(body.data()) == 1;
            break;
        case kFilePass: globals.encrypted = true; break;
        case kBoundSheet:
            if (body.size() >= 6)
                globals.boundSheets.push_back(*record);
            break;
        case kSst:
            if (!globals.encrypted)
                globals.sharedStrings = ReadSharedStrings(body, walker.Continuations());
            break;
        case kFormat:
            if (!globals.encrypted && body.size() >= 3) {
                if (const std::optional<std::string> code = FormatCode(body, globals, walker.Continuations()))
                    globals.formatIsDate[LoadLe16(body.data())] = IsDateFormatCode(*code);
            }
            break;
        case kXf:
            if (!globals.encrypted && body.size() >= 4)
                globals.xfFormats.push_back(LoadLe16(body.data() + 2));
            break;
        default: break;
        }
    }
    return globals;
}

// The BOF records that begin a substream other than the globals, in stream order from
// `from`. A chart BOF inside another substream is not one of them.
std::vector<std::pair<std::size_t, Bof>> FindSubstreams(Bytes stream, std::size_t from)
{
    std::vector<std::pair<std::size_t, Bof>> found;
    int depth = 0;
    RecordWalker walker(stream, from);
    while (const std::optional<BiffRecord> record = walker.Next()) {
        if (record->type == kEof) {
            depth = std::max(0, depth - 1);
            continue;
        }
        const std::optional<Bof> bof = ParseBof(stream, *record);
        if (!bof)
            continue;
        if (bof->substream == kChartSubstream && depth > 0) {
            ++depth;
            continue;
        }
        depth = 1;
        if (bof->substream != kGlobalsSubstream)
            found.emplace_back(record->offset, *bof);
    }
    return found;
}

std::string SheetName(Bytes stream, const BiffRecord& boundSheet, const Globals& globals)
{
    const Bytes name = Body(stream, boundSheet).subspan(6);
    if (globals.biff == 8) {
        Pieces pieces({name});
        return ReadUnicodeString(pieces, 1).value_or(std::string());
    }
    if (name.empty())
        return std::string();
    return DecodeCodePage(name.subspan(1, std::min<std::size_t>(name[0], name.size() - 1)), globals.codePage);
}

}  // namespace

bool PlausibleRecord(std::uint16_t type, std::uint16_t length)
{
    const RecordShape* shape = ShapeOf(type);
    return shape && length >= shape->minLength && length <= shape->maxLength &&
           (length - shape->minLength) % shape->step == 0;
}

std::optional<BiffRecord> RecordAt(std::span<const std::uint8_t> stream, std::uint32_t offset)
{
    if (stream.size() < kRecordHeaderSize || offset > stream.size() - kRecordHeaderSize)
        return std::nullopt;
    const BiffRecord record{offset, LoadLe16(stream.data() + offset), LoadLe16(stream.data() + offset + 2)};
    if (record.length > stream.size() - offset - kRecordHeaderSize)
        return std::nullopt;
    return record;
}

std::vector<std::u16string> ReadTableStrings(std::vector<std::span<const std::uint8_t>> bodies, std::size_t offset,
                                             std::size_t count)
{
    Pieces pieces(std::move(bodies));
    std::vector<std::u16string> strings;
    if (!pieces.Skip(offset))
        return strings;
    while (strings.size() < count) {
        std::optional<std::u16string> text = ReadUnicodeUnits(pieces, 2);
        if (!text)
            break;
        strings.push_back(std::move(*text));
    }
    return strings;
}

std::vector<BiffRecord> ListRecords(std::span<const std::uint8_t> stream)
{
    stream = stream.first(std::min<std::size_t>(stream.size(), std::numeric_limits<std::uint32_t>::max()));
    std::vector<BiffRecord> records;
    RecordWalker walker(stream, 0);
    while (const std::optional<BiffRecord> record = walker.Next())
        records.push_back(*record);
    return records;
}

bool IsDateFormatCode(std::string_view code)
{
    // Quoted text and the characters after \, _ and * are literal; the signs below only
    // punctuate. What is left outside [brackets] (colours, locales, elapsed [h]) is counted.
    std::string kept;
    enum { Plain, Quoted, Escaped } state = Plain;
    for (const char c : code) {
        if (state == Quoted) {
            state = c == '"' ? Plain : Quoted;
        } else if (state == Escaped) {
            state = Plain;
        } else if (c == '"') {
            state = Quoted;
        } else if (c == '\\' || c == '_' || c == '*') {
            state = Escaped;
        } else if (std::string_view("$-+/(): ").find(c) == std::string_view::npos) {
            kept += c;
        }
    }
    int dateLetters = 0, digitPlaces = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const char c = kept[i];
        if (c == '[') {
            const std::size_t close = kept.find(']', i);
            if (close != std::string::npos) {
                i = close;
                continue;
            }
        }
        if (std::string_view("ymdhsYMDHS").find(c) != std::string_view::npos)
            ++dateLetters;
        else if (c == '0' || c == '#' || c == '?')
            ++digitPlaces;
    }
    return dateLetters > digitPlaces;
}

bool IsDate(const WorkbookCells& workbook, const CellValue& cell)
{
    return cell.kind == CellKind::Number && cell.format < workbook.dateFormats.size() &&
           workbook.dateFormats[cell.format];
}

WorkbookCells ReadWorkbookCells(std::span<const std::uint8_t> stream)
{
    // Offsets are 32-bit in the records; a longer stream is read as far as they reach.
    stream = stream.first(std::min<std::size_t>(stream.size(), std::numeric_limits<std::uint32_t>::max()));
    const Globals globals = ReadGlobals(stream);
    WorkbookCells result;
    result.biffVersion = globals.biff;
    result.codePage = globals.codePage;
    result.date1904 = globals.date1904;
    result.encrypted = globals.encrypted;
    result.dateFormats.reserve(globals.xfFormats.size());
    for (const std::uint16_t format : globals.xfFormats) {
        const auto defined = globals.formatIsDate.find(format);
        result.dateFormats.push_back(defined != globals.formatIsDate.end() ? defined->second : BuiltInDateFormat(format));
    }

    // First the sheets and where each begins (no BOF: nowhere to read it from).
    const auto found = FindSubstreams(stream, globals.end);
    std::vector<std::optional<Bof>> bofs;
    const auto usable = [&](const BiffRecord& boundSheet) {
        const std::optional<Bof> bof = BofAt(stream, LoadLe32(Body(stream, boundSheet).data()));
        return bof && bof->substream != kGlobalsSubstream;
    };
    const bool sameCount = globals.boundSheets.size() == found.size();
    if (std::any_of(globals.boundSheets.begin(), globals.boundSheets.end(), usable) ||
        (!globals.boundSheets.empty() && sameCount)) {
        for (std::size_t i = 0; i < globals.boundSheets.size(); ++i) {
            const BiffRecord& boundSheet = globals.boundSheets[i];
            SheetCells& sheet = result.sheets.emplace_back();
            sheet.offset = LoadLe32(Body(stream, boundSheet).data());
            std::optional<Bof> bof = BofAt(stream, sheet.offset);
            if (!bof || bof->substream == kGlobalsSubstream) {
                bof.reset();
                if (sameCount) {
                    sheet.offset = static_cast<std::uint32_t>(found[i].first);
                    bof = found[i].second;
                }
            }
            if (globals.encrypted) {
                // Past its offset the record is encrypted: the kind comes from the BOF.
                sheet.kind = bof ? SheetKind(bof->substream) : 0;
            } else {
                sheet.name = SheetName(stream, boundSheet, globals);
                sheet.kind = Body(stream, boundSheet)[5];
            }
            bofs.push_back(bof);
        }
    } else {
        for (const auto& [offset, bof] : found) {
            SheetCells& sheet = result.sheets.emplace_back();
            sheet.offset = static_cast<std::uint32_t>(offset);
            sheet.kind = SheetKind(bof.substream);
            bofs.emplace_back(bof);
        }
    }
    if (globals.encrypted)
        return result;

    // Then the cells. A sheet ends where the next one begins at the latest, so that damaged
    // or repeated offsets cannot make sheets read the same records over and over; a sheet
    // whose offset an earlier sheet has is not read again.
    std::vector<std::uint32_t> starts;
    for (std::size_t i = 0; i < result.sheets.size(); ++i) {
        if (bofs[i])
            starts.push_back(result.sheets[i].offset);
    }
    std::sort(starts.begin(), starts.end());
    std::vector<bool> taken(starts.size(), false);
    for (std::size_t i = 0; i < result.sheets.size(); ++i) {
        if (!bofs[i])
            continue;
        SheetCells& sheet = result.sheets[i];
        const auto start = std::lower_bound(starts.begin(), starts.end(), sheet.offset);
        const auto slot = static_cast<std::size_t>(start - starts.begin());
        if (taken[slot])
            continue;
        taken[slot] = true;
        const auto next = std::upper_bound(start, starts.end(), sheet.offset);
        const std::size_t end = next == starts.end() ? stream.size() : *next;
        SheetReader(stream.first(end), globals, globals.biff ? globals.biff : bofs[i]->biff, sheet.cells)
            .Read(sheet.offset);
    }
    return result;
}

}  // namespace tabulon
