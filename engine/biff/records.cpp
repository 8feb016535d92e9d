#include "engine/biff/records.h"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <iterator>
#include <limits>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/record_scan.h"

namespace tabulon {

using namespace biff;

namespace {

using Bytes = std::span<const std::uint8_t>;

// How far the window after the first place where records make sense again reaches, in which
// the cursor chooses the best place to go on from.
constexpr std::size_t kWindow = 2048;

// ---------------------------------------------------------------------------------------
// Record types and the body lengths they can have. Lengths differ between versions for
// several records; the range covers every version that has the type. Records of variable
// length are bounded by their fixed fields and the longest record, and those that hold a list
// of fixed-size entries by whole entries. The records of BIFF2 to BIFF4 follow their layouts
// in OpenOffice.org's documentation of the format; BIFF2's cells have a 3-byte cell
// attribute where later versions have a 2-byte XF index. A type whose older versions allow
// other lengths has a second entry, right after the first, for those.

struct RecordShape {
    std::uint16_t type;
    std::uint16_t minLength;
    std::uint16_t maxLength;
    std::uint16_t step = 1;  // lists of fixed-size entries grow by their size
    // Taken only where the chain of records holds, never as evidence that records go on (see
    // PlausibleRecord): the types and lengths only BIFF2 to BIFF4 define, and records seen in
    // one workbook only.
    bool chainOnly = false;
};

constexpr bool kChainOnly = true;

constexpr RecordShape kRecordShapes[] = {
    {0x0000, 8, 10, 1, kChainOnly},   // DIMENSIONS (BIFF2; 10 bytes as some writers give it)
    {0x0001, 7, 7, 1, kChainOnly},    // BLANK (BIFF2)
    {0x0002, 9, 9, 1, kChainOnly},    // INTEGER (BIFF2)
    {0x0003, 15, 15, 1, kChainOnly},  // NUMBER (BIFF2)
    {0x0004, 8, kMaxRecordBody, 1, kChainOnly},  // LABEL (BIFF2; in BIFF8 streams with a BIFF8 string)
    {0x0005, 9, 9, 1, kChainOnly},    // BOOLERR (BIFF2)
    {0x0006, 20, kMaxRecordBody},  // FORMULA
    {0x0006, 17, 19, 1, kChainOnly},  // FORMULA (BIFF2)
    {0x0007, 1, 256, 1, kChainOnly},  // STRING (BIFF2)
    {0x0008, 13, 18, 1, kChainOnly},  // ROW (BIFF2)
    {0x0009, 4, 16, 1, kChainOnly},   // BOF (BIFF2)
    {0x000A, 0, 0},            // EOF
    {0x000B, 8, kMaxRecordBody, 4, kChainOnly},  // INDEX (BIFF2)
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
    {0x0017, 2, kMaxRecordBody},   // EXTERNSHEET
    {0x0018, 14, kMaxRecordBody},  // NAME
    {0x0018, 5, 13, 1, kChainOnly},   // NAME (BIFF2)
    {0x0019, 2, 2},            // WINDOWPROTECT
    {0x001A, 2, kMaxRecordBody},   // VERTICALPAGEBREAKS
    {0x001B, 2, kMaxRecordBody},   // HORIZONTALPAGEBREAKS
    {0x001C, 6, kMaxRecordBody},   // NOTE
    {0x001D, 9, kMaxRecordBody, 6},   // SELECTION
    {0x001D, 17, kMaxRecordBody, 8, kChainOnly},  // SELECTION with BIFF8's ranges in a BIFF5 chart
    {0x001E, 3, kMaxRecordBody},   // FORMAT (BIFF5)
    {0x001E, 1, 2, 1, kChainOnly},    // FORMAT (BIFF2 and BIFF3: the code alone)
    {0x001F, 2, 2, 1, kChainOnly},    // BUILTINFMTCOUNT (BIFF2)
    {0x0020, 4, kMaxRecordBody, 1, kChainOnly},  // COLUMNDEFAULT (BIFF2)
    {0x0021, 8, kMaxRecordBody, 1, kChainOnly},  // ARRAY (BIFF2)
    {0x0022, 2, 2},            // DATEMODE
    {0x0023, 4, kMaxRecordBody},   // EXTERNNAME
    {0x0024, 4, 4, 1, kChainOnly},    // COLWIDTH (BIFF2)
    {0x0025, 2, 2, 1, kChainOnly},    // DEFAULTROWHEIGHT (BIFF2)
    {0x0026, 8, 8},            // LEFTMARGIN
    {0x0027, 8, 8},            // RIGHTMARGIN
    {0x0028, 8, 8},            // TOPMARGIN
    {0x0029, 8, 8},            // BOTTOMMARGIN
    {0x002A, 2, 2},            // PRINTHEADERS
    {0x002B, 2, 2},            // PRINTGRIDLINES
    {0x002F, 4, 1024},         // FILEPASS
    {0x0031, 15, 526},         // FONT
    {0x0031, 5, 14, 1, kChainOnly},   // FONT (BIFF2)
    {0x0033, 2, 2},            // PRINTSIZE
    {0x003C, 0, kMaxRecordBody},   // CONTINUE
    {0x003D, 18, 18},          // WINDOW1
    {0x003D, 9, 10, 1, kChainOnly},   // WINDOW1 (BIFF2 9 bytes; 10 as some writers give it)
    {0x003E, 14, 14, 1, kChainOnly},  // WINDOW2 (BIFF2)
    {0x0040, 2, 2},            // BACKUP
    {0x0041, 9, 10},           // PANE
    {0x0042, 2, 2},            // CODEPAGE
    {0x0043, 4, 4, 1, kChainOnly},    // XF (BIFF2)
    {0x0044, 2, 2, 1, kChainOnly},    // IXFE (BIFF2)
    {0x0045, 2, 2, 1, kChainOnly},    // EFONT (BIFF2)
    {0x004D, 2, kMaxRecordBody},   // PLS
    {0x0050, 8, 8},            // DCON
    {0x0051, 6, kMaxRecordBody},   // DCONREF
    {0x0052, 3, kMaxRecordBody},   // DCONNAME
    {0x0055, 2, 2},            // DEFCOLWIDTH
    {0x0056, 2, 2, 1, kChainOnly},    // BUILTINFMTCOUNT (BIFF3 and BIFF4)
    {0x0059, 2, 4},            // XCT
    {0x005A, 4, kMaxRecordBody},   // CRN
    {0x005B, 6, kMaxRecordBody},   // FILESHARING
    {0x005C, 2, 112},          // WRITEACCESS
    {0x005D, 4, kMaxRecordBody},   // OBJ
    {0x005E, 0, 4},            // UNCALCED
    {0x005F, 2, 2},            // SAVERECALC
    {0x0060, 0, 0},            // TEMPLATE
    {0x0061, 2, 2},            // INTL
    {0x0063, 2, 2},            // OBJECTPROTECT
    {0x007D, 10, 12},          // COLINFO
    {0x007F, 8, kMaxRecordBody},   // IMDATA
    {0x0080, 8, 8},            // GUTS
    {0x0081, 2, 2},            // WSBOOL
    {0x0082, 2, 2},            // GRIDSET
    {0x0083, 2, 2},            // HCENTER
    {0x0084, 2, 2},            // VCENTER
    {0x0085, 7, 518},          // BOUNDSHEET
    {0x0086, 0, 0},            // WRITEPROT
    {0x008C, 4, 4},            // COUNTRY
    {0x008D, 2, 2},            // HIDEOBJ
    {0x008E, 4, 4, 1, kChainOnly},    // SHEETSOFFSET (BIFF4 workbooks)
    {0x008F, 5, 260, 1, kChainOnly},  // SHEETHDR (BIFF4 workbooks)
    {0x0090, 5, kMaxRecordBody},   // SORT
    {0x0092, 2, 226, 4},          // PALETTE (56 colours)
    {0x0097, 4, 4},            // SYNC
    {0x0098, 0, kMaxRecordBody},   // LPR
    {0x0099, 2, 2},            // STANDARDWIDTH
    {0x009A, 0, kMaxRecordBody},   // FNGROUPNAME
    {0x009B, 0, 0},            // FILTERMODE
    {0x009C, 2, 2},            // FNGROUPCOUNT
    {0x009D, 2, 2},            // AUTOFILTERINFO
    {0x009E, 4, kMaxRecordBody},   // AUTOFILTER
    {0x00A0, 4, 4},            // SCL
    {0x00A1, 34, 34},          // SETUP
    {0x00A1, 12, 12, 1, kChainOnly},  // SETUP (BIFF4)
    {0x00AB, 34, 34},          // GCW
    {0x00AE, 2, kMaxRecordBody},   // SCENMAN
    {0x00AF, 4, kMaxRecordBody},   // SCENARIO
    {0x00B0, 0, kMaxRecordBody},   // SXVIEW and the pivot table records after it
    {0x00B1, 0, kMaxRecordBody},   // SXVD
    {0x00B2, 0, kMaxRecordBody},   // SXVI
    {0x00B4, 0, kMaxRecordBody},   // SXIVD
    {0x00B5, 0, kMaxRecordBody},   // SXLI
    {0x00B6, 0, kMaxRecordBody},   // SXPI
    {0x00B8, 0, kMaxRecordBody},   // DOCROUTE
    {0x00B9, 0, kMaxRecordBody},   // RECIPNAME
    {0x00BD, 12, kMaxRecordBody, 6},  // MULRK
    {0x00BE, 8, kMaxRecordBody, 2},   // MULBLANK
    {0x00BF, 0, kMaxRecordBody},   // TOOLBARHDR
    {0x00C0, 0, 0},            // TOOLBAREND
    {0x00C1, 2, 2},            // MMS
    {0x00C2, 0, kMaxRecordBody},   // ADDMENU
    {0x00C3, 0, kMaxRecordBody},   // DELMENU
    {0x00C5, 0, kMaxRecordBody},   // SXDI
    {0x00C6, 0, kMaxRecordBody},   // SXDB
    {0x00C7, 0, kMaxRecordBody},   // SXFDB
    {0x00C8, 0, kMaxRecordBody},   // SXDBB
    {0x00C9, 0, kMaxRecordBody},   // SXNUM
    {0x00CA, 0, kMaxRecordBody},   // SXBOOL
    {0x00CB, 0, kMaxRecordBody},   // SXERR
    {0x00CC, 0, kMaxRecordBody},   // SXINT
    {0x00CD, 0, kMaxRecordBody},   // SXSTRING
    {0x00CE, 0, kMaxRecordBody},   // SXDTR
    {0x00CF, 0, kMaxRecordBody},   // SXNIL
    {0x00D0, 0, kMaxRecordBody},   // SXTBL
    {0x00D1, 0, kMaxRecordBody},   // SXTBRGIITM
    {0x00D2, 0, kMaxRecordBody},   // SXTBPG
    {0x00D3, 0, 0},            // OBPROJ
    {0x00D5, 2, 2},            // SXIDSTM
    {0x00D6, 8, kMaxRecordBody},   // RSTRING
    {0x00D7, 4, kMaxRecordBody, 2},   // DBCELL
    {0x00D8, 0, kMaxRecordBody},   // SXRNG
    {0x00D9, 0, kMaxRecordBody},   // SXISXOPER
    {0x00DA, 2, 2},            // BOOKBOOL
    {0x00DC, 0, kMaxRecordBody},   // PARAMQRY
    {0x00DD, 2, 2},            // SCENPROTECT
    {0x00DE, 6, 8},            // OLESIZE
    {0x00E0, 16, 20},          // XF
    {0x00E1, 0, 2},            // INTERFACEHDR
    {0x00E2, 0, 0},            // INTERFACEEND
    {0x00E3, 2, 2},            // SXVS
    {0x00E5, 2, kMaxRecordBody, 8},   // MERGEDCELLS
    {0x00E9, 8, kMaxRecordBody},   // BITMAP
    {0x00EB, 0, kMaxRecordBody},   // MSODRAWINGGROUP
    {0x00EC, 0, kMaxRecordBody},   // MSODRAWING
    {0x00ED, 0, kMaxRecordBody},   // MSODRAWINGSELECTION
    {0x00EF, 6, kMaxRecordBody},   // PHONETIC
    {0x00F0, 0, kMaxRecordBody},   // SXRULE
    {0x00F1, 0, kMaxRecordBody},   // SXEX
    {0x00F2, 0, kMaxRecordBody},   // SXFILT
    {0x00F4, 0, kMaxRecordBody},   // SXDXF
    {0x00F5, 0, kMaxRecordBody},   // SXITM
    {0x00F6, 0, kMaxRecordBody},   // SXNAME
    {0x00F7, 0, kMaxRecordBody},   // SXSELECT
    {0x00F8, 0, kMaxRecordBody},   // SXPAIR
    {0x00F9, 0, kMaxRecordBody},   // SXFMLA
    {0x00FB, 0, kMaxRecordBody},   // SXFORMAT
    {0x00FC, 8, kMaxRecordBody},   // SST
    {0x00FD, 10, 10},          // LABELSST
    {0x00FF, 2, kMaxRecordBody},   // EXTSST
    {0x0100, 0, kMaxRecordBody},   // SXVDEX
    {0x0103, 0, kMaxRecordBody},   // SXFORMULA
    {0x0122, 0, kMaxRecordBody},   // SXDBEX
    {0x013D, 2, kMaxRecordBody, 2},   // TABID
    {0x015F, 4, kMaxRecordBody},   // LABELRANGES
    {0x0160, 2, 2},            // USESELFS
    {0x0161, 2, 2},            // DSF
    {0x01A9, 0, kMaxRecordBody},   // USERBVIEW
    {0x01AA, 0, kMaxRecordBody},   // USERSVIEWBEGIN
    {0x01AB, 2, 2},            // USERSVIEWEND
    {0x01AD, 0, kMaxRecordBody},   // QSI
    {0x01AE, 4, kMaxRecordBody},   // SUPBOOK
    {0x01AF, 2, 2},            // PROT4REV
    {0x01B0, 12, kMaxRecordBody},  // CONDFMT
    {0x01B1, 6, kMaxRecordBody},   // CF
    {0x01B2, 18, 18},          // DVAL
    {0x01B5, 0, kMaxRecordBody},   // DCONBIN
    {0x01B6, 6, kMaxRecordBody},   // TXO
    {0x01B7, 2, 2},            // REFRESHALL
    {0x01B8, 32, kMaxRecordBody},  // HLINK
    {0x01B9, 0, kMaxRecordBody},   // LEL
    {0x01BA, 2, kMaxRecordBody},   // CODENAME
    {0x01BB, 2, 2},            // SXFDBTYPE
    {0x01BC, 2, 2},            // PROT4REVPASS
    {0x01BD, 0, 0},            // OBNOMACROS
    {0x01BE, 12, kMaxRecordBody},  // DV
    {0x01C0, 0, 0},            // EXCEL9FILE
    {0x01C1, 8, 8},            // RECALCID
    {0x01C2, 0, kMaxRecordBody},   // ENTEXU2
    {0x0200, 10, 14},          // DIMENSIONS
    {0x0201, 6, 6},            // BLANK
    {0x0203, 14, 14},          // NUMBER
    {0x0204, 8, kMaxRecordBody},   // LABEL
    {0x0205, 8, 9},            // BOOLERR (9 bytes as some writers give it)
    {0x0206, 20, kMaxRecordBody},  // FORMULA (BIFF3's type, as some writers give it later)
    {0x0206, 18, 19, 1, kChainOnly},  // FORMULA (BIFF3)
    {0x0207, 2, kMaxRecordBody},   // STRING
    {0x0208, 16, 16},          // ROW
    {0x0209, 4, 16, 1, kChainOnly},   // BOF (BIFF3)
    {0x020B, 12, kMaxRecordBody, 4},  // INDEX
    {0x0218, 6, kMaxRecordBody, 1, kChainOnly},  // NAME (BIFF3 and BIFF4)
    {0x0221, 12, kMaxRecordBody},  // ARRAY
    {0x0221, 10, 11, 1, kChainOnly},  // ARRAY (BIFF3 and BIFF4)
    {0x0223, 3, kMaxRecordBody, 1, kChainOnly},  // EXTERNNAME (BIFF3 and BIFF4)
    {0x0225, 4, 4},            // DEFAULTROWHEIGHT
    {0x0231, 7, 262, 1, kChainOnly},  // FONT (BIFF3 and BIFF4)
    {0x0236, 12, 16},          // TABLEOP
    {0x023E, 10, 18},          // WINDOW2
    {0x0243, 12, 12, 1, kChainOnly},  // XF (BIFF3)
    // Column widths as some programs write them in BIFF5 workbooks: COLINFO's layout with
    // the type 0x027D, which the documentation does not have.
    {0x027D, 10, 12},
    {0x027E, 10, 10},          // RK
    {0x0293, 4, 515},          // STYLE
    {0x02AC, 2, 2, 1, kChainOnly},    // in the BIFF5 chart of 0x1052 and on below
    {0x0406, 20, kMaxRecordBody},  // FORMULA (BIFF4's type, as some writers give it later)
    {0x0406, 18, 19, 1, kChainOnly},  // FORMULA (BIFF4)
    {0x0409, 4, 16, 1, kChainOnly},   // BOF (BIFF4)
    {0x0418, 0, kMaxRecordBody},   // BIGNAME
    {0x041E, 4, kMaxRecordBody},   // FORMAT
    {0x043C, 0, kMaxRecordBody},   // CONTINUEBIGNAME
    {0x0443, 12, 12, 1, kChainOnly},  // XF (BIFF4)
    {0x04BC, 10, kMaxRecordBody},  // SHRFMLA
    // From here on the records of Excel 97 and later that begin with their own type.
    {0x0800, 10, kMaxRecordBody},  // HLINKTOOLTIP
    {0x0801, 0, kMaxRecordBody},   // WEBPUB
    {0x0802, 0, kMaxRecordBody},   // QSISXTAG
    {0x0803, 0, kMaxRecordBody},   // DBQUERYEXT
    {0x0804, 0, kMaxRecordBody},   // EXTSTRING
    {0x0805, 0, kMaxRecordBody},   // TXTQUERY
    {0x0806, 0, kMaxRecordBody},   // QSIR
    {0x0807, 0, kMaxRecordBody},   // QSIF
    {0x0808, 0, kMaxRecordBody},   // RRDTQSIF
    {0x0809, 4, 20},           // BOF (BIFF5 8 bytes, BIFF8 16)
    {0x080A, 0, kMaxRecordBody},   // OLEDBCONN
    {0x080B, 0, kMaxRecordBody},   // WOPT
    {0x080C, 0, kMaxRecordBody},   // SXVIEWEX
    {0x080D, 0, kMaxRecordBody},   // SXTH
    {0x080E, 0, kMaxRecordBody},   // SXPIEX
    {0x080F, 0, kMaxRecordBody},   // SXVDTEX
    {0x0810, 0, kMaxRecordBody},   // SXVIEWEX9
    {0x0812, 4, kMaxRecordBody},   // CONTINUEFRT
    {0x0813, 0, kMaxRecordBody},   // REALTIMEDATA
    {0x0850, 4, kMaxRecordBody},   // CHARTFRTINFO
    {0x0851, 4, kMaxRecordBody},   // FRTWRAPPER
    {0x0852, 4, kMaxRecordBody},   // STARTBLOCK
    {0x0853, 4, kMaxRecordBody},   // ENDBLOCK
    {0x0854, 4, kMaxRecordBody},   // STARTOBJECT
    {0x0855, 4, kMaxRecordBody},   // ENDOBJECT
    {0x0856, 4, kMaxRecordBody},   // CATLAB
    {0x0857, 4, kMaxRecordBody},   // YMULT
    {0x0858, 4, kMaxRecordBody},   // SXVIEWLINK
    {0x0859, 4, kMaxRecordBody},   // PIVOTCHARTBITS
    {0x085A, 4, kMaxRecordBody},   // FRTFONTLIST
    {0x0862, 20, kMaxRecordBody},  // SHEETEXT
    {0x0863, 16, kMaxRecordBody},  // BOOKEXT
    {0x0864, 4, kMaxRecordBody},   // SXADDL
    {0x0865, 4, kMaxRecordBody},   // CRERR
    {0x0866, 4, kMaxRecordBody},   // HFPICTURE
    {0x0867, 4, kMaxRecordBody},   // FEATHDR
    {0x0868, 4, kMaxRecordBody},   // FEAT
    {0x086A, 4, kMaxRecordBody},   // DATALABEXT
    {0x086B, 4, kMaxRecordBody},   // DATALABEXTCONTENTS
    {0x086C, 4, kMaxRecordBody},   // CELLWATCH
    {0x0871, 4, kMaxRecordBody},   // FEATHDR11
    {0x0872, 4, kMaxRecordBody},   // FEAT11
    {0x0874, 4, kMaxRecordBody},   // DROPDOWNOBJIDS
    {0x0875, 4, kMaxRecordBody},   // CONTINUEFRT11
    {0x0876, 4, kMaxRecordBody},   // DCONN
    {0x0877, 4, kMaxRecordBody},   // LIST12
    {0x0878, 4, kMaxRecordBody},   // FEAT12
    {0x0879, 4, kMaxRecordBody},   // CONDFMT12
    {0x087A, 4, kMaxRecordBody},   // CF12
    {0x087B, 4, kMaxRecordBody},   // CFEX
    {0x087C, 20, 20},          // XFCRC
    {0x087D, 20, kMaxRecordBody},  // XFEXT
    {0x087E, 4, kMaxRecordBody},   // AUTOFILTER12
    {0x087F, 4, kMaxRecordBody},   // CONTINUEFRT12
    {0x0884, 4, kMaxRecordBody},   // MDTINFO
    {0x0885, 4, kMaxRecordBody},   // MDXSTR
    {0x0886, 4, kMaxRecordBody},   // MDXTUPLE
    {0x0887, 4, kMaxRecordBody},   // MDXSET
    {0x0888, 4, kMaxRecordBody},   // MDXPROP
    {0x0889, 4, kMaxRecordBody},   // MDXKPI
    {0x088A, 4, kMaxRecordBody},   // MDB
    {0x088B, 16, 16},          // PLV
    {0x088C, 16, 16},          // COMPAT12
    {0x088D, 4, kMaxRecordBody},   // DXF
    {0x088E, 20, kMaxRecordBody},  // TABLESTYLES
    {0x088F, 4, kMaxRecordBody},   // TABLESTYLE
    {0x0890, 4, kMaxRecordBody},   // TABLESTYLEELEMENT
    {0x0892, 4, kMaxRecordBody},   // STYLEEXT
    {0x0893, 4, kMaxRecordBody},   // NAMEPUBLISH
    {0x0894, 4, kMaxRecordBody},   // NAMECMT
    {0x0895, 4, kMaxRecordBody},   // SORTDATA
    {0x0896, 4, kMaxRecordBody},   // THEME
    {0x0897, 4, kMaxRecordBody},   // GUIDTYPELIB
    {0x0898, 4, kMaxRecordBody},   // FNGRP12
    {0x0899, 4, kMaxRecordBody},   // NAMEFNGRP12
    {0x089A, 24, 24},          // MTRSETTINGS
    {0x089B, 16, 16},          // COMPRESSPICTURES
    {0x089C, 4, kMaxRecordBody},   // HEADERFOOTER
    {0x089D, 4, kMaxRecordBody},   // CRTLAYOUT12
    {0x089E, 4, kMaxRecordBody},   // CRTMLFRT
    {0x089F, 4, kMaxRecordBody},   // CRTMLFRTCONTINUE
    {0x08A3, 16, 16},          // FORCEFULLCALCULATION
    {0x08A4, 4, kMaxRecordBody},   // SHAPEPROPSSTREAM
    {0x08A5, 4, kMaxRecordBody},   // TEXTPROPSSTREAM
    {0x08A6, 4, kMaxRecordBody},   // RICHTEXTSTREAM
    {0x08A7, 4, kMaxRecordBody},   // CRTLAYOUT12A
    // Written by Excel 2010 and later into the sheets and the globals, in the same shape as
    // the records above, but not in the documentation.
    {0x08C8, 12, kMaxRecordBody},
    {0x08D6, 12, kMaxRecordBody},
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
    {0x100D, 1, kMaxRecordBody},   // SERIESTEXT
    {0x1014, 20, 20},          // CHARTFORMAT
    {0x1015, 20, 20},          // LEGEND
    {0x1016, 2, kMaxRecordBody},   // SERIESLIST
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
    {0x1022, 0, kMaxRecordBody},   // CHARTFORMATLINK
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
    {0x1050, 2, kMaxRecordBody},   // ALRUNS
    {0x1051, 8, kMaxRecordBody},   // AI
    // In a BIFF5 chart whose BOF has the substream type 0x8000 and whose data are BIFF2 cells,
    // at the lengths that workbook gives them; not in the documentation.
    {0x1052, 4, 4, 1, kChainOnly},
    {0x1053, 4, 4, 1, kChainOnly},
    {0x1054, 4, 4, 1, kChainOnly},
    {0x1055, 6, 6, 1, kChainOnly},
    {0x1057, 1, 1, 1, kChainOnly},
    {0x1058, 2, 2, 1, kChainOnly},
    {0x105B, 14, 14},          // SERAUXERRBAR
    {0x105C, 2, kMaxRecordBody},   // CLRTCLIENT
    {0x105D, 2, 2},            // SERFMT
    {0x105F, 2, 2},            // CHART3DBARSHAPE
    {0x1060, 10, 10},          // FBI
    {0x1061, 18, 22},          // BOPPOP
    {0x1062, 18, 18},          // AXCEXT
    {0x1063, 2, 2},            // DAT
    {0x1064, 8, 8},            // PLOTGROWTH
    {0x1065, 2, 2},            // SIINDEX
    {0x1066, 0, kMaxRecordBody},   // GELFRAME
    {0x1067, 0, kMaxRecordBody},   // BOPPOPCUSTOM
    {0x1068, 0, kMaxRecordBody},   // FBI2
};

static_assert(std::is_sorted(std::begin(kRecordShapes), std::end(kRecordShapes),
                             [](const RecordShape& a, const RecordShape& b) { return a.type < b.type; }),
              "a type's shapes stand together in the table");

// Where each type's shapes begin in the table, and where they end, by type: the record walks
// and the scans for records ask for every offset of a stream, so this is a look-up, not a search.
// Types past the highest the table knows have no shape; the index stops there, small enough
// to stay in the processor's nearest cache.
struct ShapeIndex {
    static constexpr std::size_t kTypes = std::size_t{std::end(kRecordShapes)[-1].type} + 1;
    std::array<std::uint16_t, kTypes> first{};
    std::array<std::uint8_t, kTypes> count{};

    constexpr ShapeIndex()
    {
        static_assert(std::size(kRecordShapes) < 0xFFFF, "the table's places fit 16 bits");
        for (std::size_t i = 0; i < std::size(kRecordShapes); ++i) {
            const std::uint16_t type = kRecordShapes[i].type;
            if (count[type]++ == 0)
                first[type] = static_cast<std::uint16_t>(i);
        }
    }
};

constexpr ShapeIndex kShapeIndex;

// The shape of `type` that `length` fits, of those PlausibleRecord takes or (`chainOnly`) of all.
constexpr const RecordShape* FittingShape(std::uint16_t type, std::uint16_t length, bool chainOnly)
{
    if (type >= ShapeIndex::kTypes)
        return nullptr;
    const ShapeIndex& index = kShapeIndex;
    const RecordShape* first = std::begin(kRecordShapes) + index.first[type];
    const RecordShape* last = first + index.count[type];
    for (const RecordShape* shape = first; shape != last; ++shape) {
        if ((chainOnly || !shape->chainOnly) && length >= shape->minLength && length <= shape->maxLength &&
            (shape->step == 1 || (length - shape->minLength) % shape->step == 0))
            return shape;
    }
    return nullptr;
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

}  // namespace

bool biff::IsBofIn(std::span<const std::uint8_t> stream, std::uint16_t type)
{
    return type == kBof || (IsBofType(type) && (stream.size() < 2 || LoadLe16(stream.data()) != kBof));
}

bool biff::IsWorkbookStreamName(std::u16string_view name)
{
    return std::any_of(std::begin(kWorkbookStreamNames), std::end(kWorkbookStreamNames),
                       [&](std::u16string_view workbook) { return EqualIgnoringAsciiCase(name, workbook); });
}

std::optional<std::u16string_view> biff::WorkbookStreamNameOneBitAway(std::u16string_view name)
{
    if (IsWorkbookStreamName(name))
        return std::nullopt;
    for (const std::u16string_view workbook : kWorkbookStreamNames) {
        if (name.size() != workbook.size())
            continue;
        std::size_t changed = 0, at = 0;
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (!EqualIgnoringAsciiCase(name.substr(i, 1), workbook.substr(i, 1)))
                ++changed, at = i;
        }
        // (A letter's case is one bit too: the unit that differs is one bit from either case.)
        const auto unit = static_cast<unsigned>(name[at]);
        const auto lower = static_cast<unsigned>(workbook[at] | 0x20u), upper = static_cast<unsigned>(workbook[at] & ~0x20u);
        if (changed == 1 && (std::popcount(unit ^ lower) == 1 || std::popcount(unit ^ upper) == 1))
            return workbook;
    }
    return std::nullopt;
}

namespace {

// The bits of PlausibleRecord and KnownRecord (records.h) for the types and lengths most
// records have: whether a shape of the table fits (FittingShape), of those PlausibleRecord
// takes or of all. Each shape sets the lengths it allows.
constexpr std::array<std::uint64_t, record_fit::kWords> FitBits(bool chainOnly)
{
    std::array<std::uint64_t, record_fit::kWords> bits{};
    for (const RecordShape& shape : kRecordShapes) {
        if (shape.type >= record_fit::kTypes || (shape.chainOnly && !chainOnly))
            continue;
        for (std::size_t length = shape.minLength; length <= shape.maxLength && length < record_fit::kLengths; length += shape.step) {
            const std::size_t bit = shape.type * record_fit::kLengths + length;
            bits[bit / 64] |= std::uint64_t{1} << (bit % 64);
        }
    }
    return bits;
}

// (The same answers as the shape table's search, for the commonest types at every length the
// bits hold.)
constexpr bool FitBitsAgree()
{
    constexpr std::array<std::uint64_t, record_fit::kWords> plausible = FitBits(false), known = FitBits(true);
    constexpr std::uint16_t kTypes[] = {0x0000, 0x0006, 0x000A, 0x0031, 0x003C, 0x0085, 0x00BD, 0x00D7,
                                        0x00E0, 0x00EE, 0x00FC, 0x00FD, 0x0201, 0x0203, 0x0208, 0x020B, 0x027E};
    for (std::uint16_t length = 0; length < record_fit::kLengths; ++length) {
        for (const std::uint16_t type : kTypes) {
            const std::size_t bit = std::size_t{type} * record_fit::kLengths + length;
            if (((plausible[bit / 64] >> (bit % 64)) & 1) != (FittingShape(type, length, false) != nullptr) ||
                ((known[bit / 64] >> (bit % 64)) & 1) != (FittingShape(type, length, true) != nullptr))
                return false;
        }
    }
    return true;
}
static_assert(FitBitsAgree());

}  // namespace

constinit const std::array<std::uint64_t, record_fit::kWords> record_fit::kPlausible = FitBits(false);
constinit const std::array<std::uint64_t, record_fit::kWords> record_fit::kKnown = FitBits(true);

bool record_fit::PlausibleBeyond(std::uint16_t type, std::uint16_t length)
{
    return FittingShape(type, length, false) != nullptr;
}

bool record_fit::KnownBeyond(std::uint16_t type, std::uint16_t length)
{
    return FittingShape(type, length, true) != nullptr;
}

namespace {

// Whether the filler record `first` (what a mending writes over damage, one record after another
// where the damage is longer than a record holds) and those right after it lead to a plausible
// record or the stream's end: readers pass over them by their lengths.
bool FillerRunReadsOn(std::span<const std::uint8_t> stream, BiffRecord record)
{
    constexpr int kMostInARun = 64;
    for (int k = 0; k < kMostInARun; ++k) {
        const std::size_t next = std::size_t{record.offset} + kRecordHeaderSize + record.length;
        if (next == stream.size())
            return true;
        if (next > std::numeric_limits<std::uint32_t>::max())
            return false;
        const std::optional<BiffRecord> after = RecordAt(stream, static_cast<std::uint32_t>(next));
        if (!after)
            return false;
        if (after->type != kFillerRecord)
            return PlausibleRecord(after->type, after->length) && (!IsBofType(after->type) || IsBofIn(stream, after->type));
        record = *after;
    }
    return false;
}

}  // namespace

bool KnownInChain(std::span<const std::uint8_t> stream, std::size_t offset)
{
    std::optional<BiffRecord> record = offset <= std::numeric_limits<std::uint32_t>::max()
                                           ? RecordAt(stream, static_cast<std::uint32_t>(offset))
                                           : std::nullopt;
    // (A plausible record is a known one that needs nothing after it: most are.)
    if (record && PlausibleRecord(record->type, record->length))
        return !IsBofType(record->type) || IsBofIn(stream, record->type);
    if (record && record->type == kFillerRecord)
        return FillerRunReadsOn(stream, *record);
    const RecordShape* shape = record ? FittingShape(record->type, record->length, true) : nullptr;
    if (!shape)
        return false;
    if (IsBofType(record->type) && !IsBofIn(stream, record->type))
        return false;
    // (The shape found first is mostly one PlausibleRecord takes as well: no second look-up.)
    for (int more = 0; more < 2 && shape->chainOnly && !PlausibleRecord(record->type, record->length); ++more) {
        const std::size_t next = std::size_t{record->offset} + kRecordHeaderSize + record->length;
        if (next == stream.size())
            return true;
        if (next > std::numeric_limits<std::uint32_t>::max())
            return false;
        record = RecordAt(stream, static_cast<std::uint32_t>(next));
        shape = record ? FittingShape(record->type, record->length, true) : nullptr;
        if (!shape)
            return false;
    }
    return true;
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

// The weight of the chain of plausible records from each place of a stretch, chains
// followed to the stretch's end, and for each place the best one in the window from it.
// A stretch reaches two windows and a half; it is computed afresh only when a window
// from `first` would reach into its last half window, so that the work stays in
// proportion to the stream however often the chain breaks.
struct RecordCursor::ChainWeights {
    std::size_t start = 0, end = 0;
    std::vector<std::uint32_t> weight;
    std::vector<std::uint32_t> best;  // relative to start
};

std::optional<BiffRecord> RecordCursor::NextUncommon()
{
    while (position_ + kRecordHeaderSize <= stream_.size()) {
        const std::optional<BiffRecord> record = RecordAt(stream_, static_cast<std::uint32_t>(position_));
        // (Most records are plausible and no BOF: known without a second look.)
        if (record && ((PlausibleRecord(record->type, record->length) && !IsBofType(record->type)) || KnownInChain(stream_, position_) ||
                       (record->type <= kHighestRecordType && record->length <= kMaxRecordBody &&
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

std::optional<BiffRecord> RecordCursor::Peek() const
{
    RecordCursor probe = *this;
    return probe.Next();
}

std::vector<RecordCursor::Bytes> RecordCursor::Continuations()
{
    std::vector<Bytes> bodies;
    for (RecordCursor probe = *this;;) {
        const std::optional<BiffRecord> next = probe.Next();
        if (!next || next->type != kContinue)
            return bodies;
        bodies.push_back(RecordBody(stream_, *next));
        *this = probe;
    }
}

// The end of the plausible record at `offset`, or nothing.
std::optional<std::size_t> RecordCursor::PlausibleEnd(std::size_t offset) const
{
    const std::optional<BiffRecord> record = RecordAt(stream_, static_cast<std::uint32_t>(offset));
    if (!record || !PlausibleRecord(record->type, record->length))
        return std::nullopt;
    return offset + kRecordHeaderSize + record->length;
}

// What a plausible record at `offset` says for the place: a record whose type allows a
// few lengths only rarely fits stray bytes, one of any length often does.
std::uint32_t RecordCursor::Weight(std::size_t offset) const
{
    const RecordShape* shape = FittingShape(LoadLe16(stream_.data() + offset), LoadLe16(stream_.data() + offset + 2), false);
    return shape->maxLength - shape->minLength <= 8 ? 3 : 1;
}

// Past a break, the walk goes on at a plausible record that a plausible record follows
// (or that ends the stream). Stray bytes inside a damaged record often look like that,
// and the length of such a record would swallow real ones: of the places within a
// window from the first, the walk takes the one that the weightiest chain of plausible
// records starts from, which real records, short and one after another, win. Of equal
// chains the first is taken.
std::size_t RecordCursor::Resynchronise(std::size_t from)
{
    // (Four zero bytes are no record: a zeroed stretch, such as the filler a mending writes over
    // damage with its zero bodies, is passed over at once, not tried place by place.)
    static_assert(FittingShape(0, 0, false) == nullptr, "a zero header is no plausible record");
    const std::uint64_t first = FirstRun<kReadingRun>(SpanBytes{stream_}, from);
    if (first == kNoPlace)
        return stream_.size();
    const ChainWeights& weights = Weights(static_cast<std::size_t>(first));
    return weights.start + weights.best[first - weights.start];
}

const RecordCursor::ChainWeights& RecordCursor::Weights(std::size_t first)
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

std::vector<BiffRecord> ListRecords(std::span<const std::uint8_t> stream)
{
    stream = stream.first(std::min<std::size_t>(stream.size(), std::numeric_limits<std::uint32_t>::max()));
    std::vector<BiffRecord> records;
    RecordCursor walker(stream, 0);
    while (const std::optional<BiffRecord> record = walker.Next())
        records.push_back(*record);
    return records;
}

std::optional<Bof> ParseBof(Bytes stream, const BiffRecord& record)
{
    if (!IsBofIn(stream, record.type) || record.length < 4)
        return std::nullopt;
    const Bytes body = RecordBody(stream, record);
    const std::uint16_t version = LoadLe16(body.data());
    Bof bof;
    bof.substream = LoadLe16(body.data() + 2);
    if (record.type != kBof) {
        bof.biff = record.type == kBof2 ? 2 : record.type == kBof3 ? 3 : 4;
        return bof;
    }
    // (A version neither byte tells: the length does.)
    const std::uint16_t told = VersionOfBof(version);
    bof.biff = told == kBiff8Version ? 8 : told == kBiff5Version ? 5 : record.length >= 16 ? 8 : 5;
    return bof;
}

std::optional<Bof> BofAt(Bytes stream, std::size_t offset)
{
    if (offset > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    const std::optional<BiffRecord> record = RecordAt(stream, static_cast<std::uint32_t>(offset));
    return record ? ParseBof(stream, *record) : std::nullopt;
}

}  // namespace tabulon
