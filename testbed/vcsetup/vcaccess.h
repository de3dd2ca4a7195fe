// Access lists (security descriptor text) the test bed gives registry keys.
#ifndef VC_ACCESS_H
#define VC_ACCESS_H

// Enum\USB: owned by the administrators; the system may do everything,
// everyone read. The administrators may write there too: under Wine the
// device records are written with the user's token (on Windows by the
// system alone).
#define VC_ACCESS_ENUM_USB    "O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;WD)"

// The media class key: the system and the administrators may do everything,
// users read.
#define VC_ACCESS_MEDIA_CLASS "O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"

// The media class key for a user without administrator rights: everyone
// reads, nobody writes.
#define VC_ACCESS_READ_ONLY   "D:P(A;CI;KR;;;WD)"

// A key that nobody may delete, owned by the system so that the owner's
// rights give no way around it; and the list it gets before it is removed.
#define VC_ACCESS_LOCKED      "O:SYD:P(D;;SD;;;WD)(A;;KA;;;WD)"
#define VC_ACCESS_UNLOCKED    "O:BAD:P(A;;KA;;;WD)"

#endif
