/* aseml.h - what a host needs to scan mail with the reference mail plug-ins
 * (aseml.mdl), and to teach them: the entity type, the verbs, how to describe
 * a message, and the black-box keys the results are written under.
 *
 * Describing a message (as_item_descriptor_t):
 *   entity_type    = ASEML_ENTITY_MAIL
 *   entity_subtype = ASEML_SOURCE_FILE:   stream_param1 = (int64_t)(const char*) path
 *                                         of a file holding one RFC 5322 message;
 *                                         stream_param2 unused (0).
 *                    ASEML_SOURCE_BUFFER: stream_param1 = (int64_t)(const char*) bytes,
 *                                         stream_param2 = their length.
 *   Both are read (and the bytes copied) during as_core_item_create(); the
 *   caller keeps ownership. An unreadable file, a null pointer or a negative
 *   length make as_core_item_create() return NULL with -101 and a message.
 *
 * Verbs of as_core_item_process():
 *   ASEML_VERB_SCAN   runs EmlHeaderFilter, EmlUrlFilter, EmlBayesFilter and
 *                     EmlVerdictPerformer, and writes every key below into the
 *                     black box passed to the call.
 *   ASEML_VERB_PARSE  only breaks the message to the token level and writes
 *                     ASEML_BB_ANOMALIES, ASEML_BB_TOKEN_COUNT, ASEML_BB_URLS.
 *   ASEML_VERB_LEARN_SPAM, ASEML_VERB_LEARN_HAM
 *                     learn the message as spam or ham into the model file
 *                     (ModelPath) and save it; a message learned before with
 *                     the other label is moved over, one learned with the
 *                     same label is left as it is.
 *   ASEML_VERB_FORGET takes a message learned earlier back out, exactly: the
 *                     model is as if it had never been learned.
 *   A learning verb writes ASEML_BB_LEARN_RESULT and the message counts, and
 *   runs only EmlBayesFilter. Messages are known by a digest of their bytes
 *   (a leading mbox "From " line, CRs before LFs and trailing white space do
 *   not count), so forget and relearn need the same message, not a copy with
 *   headers added on the way. Failures: -101 no ModelPath, an empty message
 *   (nothing but white space), or the filter is off on the session; -202 the model file exists but cannot be read or is
 *   refused (it is then never overwritten); -203 the lock or the new file
 *   cannot be taken or written. After a failure the model is unchanged.
 *
 * Learning and scanning together: any thread of any session may learn while
 * others scan; a scan uses the model as it was before a learning step or as
 * it is after it, never a mix. The file is replaced whole (a new file in the
 * same folder, flushed, renamed over the old one), so the folder must be
 * writable. Processes that learn into the same file take turns on an
 * advisory lock on "<ModelPath>.lock" (created beside it, never removed) and
 * reread the file when another one saved it since, so no update is lost; a
 * writer gives up with -203 after 30 s of waiting. A process that only scans
 * picks up a model another process saved: it looks at the file (one stat) at
 * most once per ReloadSeconds, and rereads it when it was replaced. A file
 * that is refused on reload leaves the model read before in use.
 *
 * Settings (text values; a key without a session applies to all sessions):
 *   /eml/EmlBayesFilter/ModelPath        model file written by `ascan train`
 *                                        or by learning (created if missing)
 *   /eml/EmlBayesFilter/ReloadSeconds    0..3600: how often to look whether
 *                                        another process saved the model
 *                                        (default 1; 0 = before every scan)
 *   /eml/EmlBayesFilter/MinDeviation     0 <= x < 0.5   (default 0.1)
 *   /eml/EmlBayesFilter/Strength         x > 0          (default 0.2)
 *   /eml/EmlBayesFilter/Clues            0..100000: combine only the N most
 *                                        decisive tokens, 0 = all (default 15)
 *   /eml/EmlBayesFilter/TopTokens        0..100         (default 10)
 *   /eml/EmlHeaderFilter/Weight          0..10          (default 1)
 *   /eml/EmlUrlFilter/BlockDomains, AllowDomains, BlockSenders, AllowSenders
 *                                        domain lists separated by commas
 *   /eml/EmlUrlFilter/Weight             0..100         (default 6)
 *   /eml/EmlVerdictPerformer/SpamThreshold  0 < x < 1   (default 0.6)
 *   /eml/EmlVerdictPerformer/UnsureThreshold 0 <= x <= SpamThreshold: scores
 *                                        from it up to SpamThreshold are
 *                                        "unsure" (verdict 3); 0 = no unsure
 *                                        band (default)
 *   /eml/<module>/Enabled                0 disables the module (per session)
 * A module whose settings were refused (a value out of range, a malformed
 * domain) fails every item with -101 until settings it accepts are applied,
 * so no verdict is ever decided with defaults the user did not ask for.
 */
#ifndef ASEML_H
#define ASEML_H

/* The display names of the modules, and every "<module>/<key>" setting they
 * read under /eml/ besides "<module>/Enabled", each list closed by NULL.
 * Hosts check the keys a user gives against them, so a misspelt key is an
 * error instead of a silently ignored value. */
#define ASEML_MODULE_NAMES                                                            \
  { "EmlStreamer", "EmlBreaker", "EmlDispatcher", "EmlHeaderFilter", "EmlUrlFilter", \
    "EmlBayesFilter", "EmlVerdictPerformer", NULL }
#define ASEML_SETTING_KEYS                                                                        \
  { "EmlBayesFilter/ModelPath", "EmlBayesFilter/ReloadSeconds", "EmlBayesFilter/MinDeviation",    \
    "EmlBayesFilter/Strength",                                                                    \
    "EmlBayesFilter/Clues", "EmlBayesFilter/TopTokens", "EmlHeaderFilter/Weight",                 \
    "EmlUrlFilter/BlockDomains", "EmlUrlFilter/AllowDomains", "EmlUrlFilter/BlockSenders",        \
    "EmlUrlFilter/AllowSenders", "EmlUrlFilter/Weight", "EmlVerdictPerformer/SpamThreshold", NULL }

#define ASEML_ENTITY_MAIL 100u

#define ASEML_SOURCE_FILE 0u
#define ASEML_SOURCE_BUFFER 1u

#define ASEML_VERB_SCAN 1u
#define ASEML_VERB_PARSE 2u
#define ASEML_VERB_LEARN_SPAM 3u
#define ASEML_VERB_LEARN_HAM 4u
#define ASEML_VERB_FORGET 5u

/* Results (black-box keys and types). */
#define ASEML_BB_VERDICT 40001u       /* BB_TYPE_INT: 1 spam, 0 ham, 2 empty (nothing but
                                         white space after an mbox "From " line: not
                                         judged, score 0), 3 unsure (UnsureThreshold) */
#define ASEML_BB_SCORE 40002u         /* BB_TYPE_DOUBLE: combined score 0..1 */
#define ASEML_BB_VERDICT_TEXT 40003u  /* BB_TYPE_STRING: "spam", "ham", "empty" or "unsure" */
#define ASEML_BB_THRESHOLD 40004u     /* BB_TYPE_DOUBLE: the SpamThreshold applied */
#define ASEML_BB_HEADER_SCORE 40010u  /* BB_TYPE_DOUBLE: header rules, log-odds */
#define ASEML_BB_HEADER_RULES 40011u  /* BB_TYPE_STRING_ARRAY: rules that fired */
#define ASEML_BB_LIST_SCORE 40020u    /* BB_TYPE_DOUBLE: domain lists, log-odds */
#define ASEML_BB_LIST_HITS 40021u     /* BB_TYPE_STRING_ARRAY: "block:dom", "allow:dom",
                                         "block-sender:dom", "allow-sender:dom" */
#define ASEML_BB_BAYES_SCORE 40030u   /* BB_TYPE_DOUBLE: Bayes score 0..1 */
#define ASEML_BB_BAYES_TOKENS 40031u  /* BB_TYPE_STRING_ARRAY: deciding tokens,
                                         "token=probability", strongest first */
#define ASEML_BB_BAYES_USED 40032u    /* BB_TYPE_INT: tokens combined */
#define ASEML_BB_BAYES_STATUS 40033u  /* BB_TYPE_STRING: "ok" or why no model is used */
#define ASEML_BB_TOKEN_LOGODDS 40034u /* BB_TYPE_DOUBLE: a calibrated token model's
                                         evidence in log-odds on the verdict's scale;
                                         when set, the verdict uses it in place of the
                                         Bayes score and the header score */
#define ASEML_BB_ANOMALIES 40040u     /* BB_TYPE_INT: parse anomaly bits */
#define ASEML_BB_TOKEN_COUNT 40041u   /* BB_TYPE_INT: distinct tokens */
#define ASEML_BB_URLS 40042u          /* BB_TYPE_INT: links found */
/* Results of the learning verbs. */
#define ASEML_BB_LEARN_RESULT 40050u  /* BB_TYPE_STRING: "learned", "relearned" (moved from
                                         the other label), "unchanged" (already learned
                                         so), "forgotten", "not learned" (forget of a
                                         message never learned) */
#define ASEML_BB_LEARNED_SPAM 40051u  /* BB_TYPE_ULONG: spam messages in the model after it */
#define ASEML_BB_LEARNED_HAM 40052u   /* BB_TYPE_ULONG: ham messages in the model after it */

#endif
