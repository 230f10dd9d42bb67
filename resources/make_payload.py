#!/usr/bin/env python3
"""Generate the data files Quillmark 2003 installs: sample scripts, guides,
dictionary, thesaurus, help, colour schemes and page layouts.

Everything comes from a fixed seed so two runs give byte-identical files,
which keeps the installer image reproducible. The content is invented from
word lists and templates below, sized and shaped like real files so the
payload compresses the way real data does.

Usage: make_payload.py OUTDIR
"""
import os
import random
import struct
import sys
import zlib

SEED = 2003

COMMON = """
a about above across act add after again against age ago air all almost alone
along already also always am among an and angry animal another answer any
anyone anything appear are area arm around arrive art as ask at away baby back
bad bag ball bank bar base be bear beat beautiful because become bed been
before began begin behind being believe below best better between big bird
bit black blood blue board boat body book born both bottom box boy break bring
brother brown build burn business but buy by call came can car care carry case
cat catch cause center certain chair chance change check child children choose
church city class clean clear close clothes cold color come common company
complete could country course cover cry cup cut dance dark daughter day dead
deal dear death decide deep did die different dinner do doctor does dog done
door down draw dream dress drink drive drop dry during each ear early earth
easy eat edge egg eight either else empty end enough enter even evening ever
every everyone everything exactly eye face fact fall family far farm fast
father fear feel feet few field fight figure fill film final find fine finger
finish fire first fish five floor fly follow food foot for force forget form
forward four free friend from front full fun game garden gate gave get girl
give glad glass go god gold gone good got great green ground group grow gun
hair half hall hand hang happen happy hard has hat have he head hear heard
heart heavy held hello help her here herself high hill him himself his hit
hold hole home hope horse hospital hot hotel hour house how however hundred
husband i ice idea if important in inside instead into is it its itself job
join just keep kept key kill kind king kiss kitchen knee knew knock know lady
land large last late laugh lay lead learn least leave left leg less let letter
lie life light like line lip list listen little live long look lose lost lot
loud love low lunch machine made make man many map mark market matter may
maybe me mean meet member memory men middle might mind minute miss moment
money month moon more morning most mother mouth move much music must my name
near neck need never new news next nice night nine no nobody noise none north
nose not note nothing now number of off office often oh old on once one only
open or order other our out outside over own page pain paper parent part party
pass past path pay people perhaps person phone pick picture piece place plan
play please pocket point police poor pull push put question quick quiet quite
radio rain raise ran rather reach read ready real reason red remember rest
return rich ride right ring rise river road rock roll room round run sad safe
said same sat save saw say school sea seat second see seem seen sell send sense
serious set seven several shake shall she ship shoe shoot short should shoulder
shout show shut sick side sign silent simple since sing sir sister sit six
skin sky sleep slow small smile smoke snow so soft some someone something
sometimes son song soon sorry sound south space speak stand star start state
station stay step still stop store story street strong student study such
suddenly summer sun sure surprise table take talk tall tea teach tear tell ten
than thank that the their them then there these they thing think third this
those though thought three through throw time tired to today together told
tomorrow tonight too took top touch toward town train tree trouble true truth
try turn twenty two under understand until up upon us use usual very voice
wait walk wall want war warm was watch water way we wear week well went were
west what wheel when where which while white who whole why wide wife wild will
win wind window winter wish with without woman women wonder wood word work
world worry would write wrong yard year yes yet you young your
""".split()

FIRST_NAMES = """JACK MAGGIE HARRY ELENA SAM RUTH OWEN CLAIRE VINCENT NORA
LEO IRIS DEXTER MABEL FRANK TESS WALTER JUNE MARCUS HAZEL RAY DELIA GUS ANNIE
BENNY LOIS CARL VERA HOLT WREN""".split()

PLACES = ["KITCHEN", "DINER", "POLICE STATION - LOBBY", "MOTEL ROOM",
          "PARKING LOT", "ROOFTOP", "WAREHOUSE", "HOSPITAL CORRIDOR",
          "NEWSROOM", "TRAIN PLATFORM", "BACKSTAGE", "APARTMENT",
          "CHURCH STEPS", "HARBOR", "BAR", "COURTROOM", "BUS STATION",
          "FARMHOUSE", "GAS STATION", "OFFICE", "HOTEL BALLROOM",
          "DESERT HIGHWAY", "LIBRARY", "ALLEY", "CAR", "BEDROOM",
          "SUBWAY CAR", "BOXING GYM", "RADIO BOOTH", "LAUNDROMAT"]
OWNERS = ["JACK'S", "MAGGIE'S", "THE MAYOR'S", "UNCLE GUS'S", "NORA'S",
          "DOWNTOWN", "CHINATOWN", "MIDTOWN", "HARBOR DISTRICT", "OLD"]
TIMES = ["DAY", "NIGHT", "DAWN", "DUSK", "MORNING", "LATER", "CONTINUOUS",
         "MOMENTS LATER", "EVENING"]
TRANSITIONS = ["CUT TO:", "DISSOLVE TO:", "SMASH CUT TO:", "MATCH CUT TO:",
               "FADE TO:"]
PARENTHETICALS = ["(beat)", "(quietly)", "(smiling)", "(into phone)",
                  "(to Nora)", "(under his breath)", "(laughing)", "(pause)",
                  "(off her look)", "(V.O.)", "(O.S.)", "(whispering)",
                  "(not looking up)", "(sarcastic)", "(re: the letter)"]

NOUNS = """door window table letter gun car phone coffee cigarette hat coat
photograph envelope suitcase key ledger radio bottle knife badge wallet
typewriter newspaper ring watch lamp chair stairs bridge river train bus
camera piano map briefcase umbrella notebook""".split()
ADJS = """old quiet tired nervous cold dark empty broken narrow crowded
bright wet dusty cheap faded heavy small long pale red black silent
battered warm strange""".split()
VERBS_ACTION = """crosses enters pauses turns studies lights grabs drops opens
closes pockets sets hesitates watches scans leans slams pours reads folds
follows checks rubs steadies stares""".split()
VERBS_BASE = """know want need think remember find see hear believe trust
say tell help leave take keep""".split()
ADVERBS = """slowly quickly carefully finally suddenly quietly barely
already still never always""".split()

ACTION_TEMPLATES = [
    "{Name} {va} the {adj} {noun}.",
    "{Name} {va} to the {noun} and {va} it {adv}.",
    "The {noun} is {adj}. {Name} {va} it without a word.",
    "Rain against the {noun}. {Name} {va} {adv}, then {va} the {noun2}.",
    "A {adj} {noun} sits on the {noun2}. {Name} {va} it.",
    "{Name} and {Name2} exchange a look. Neither {va} the {noun}.",
    "Somewhere a {noun} rings. {Name} {adv} {va} the {noun2}.",
    "{Name} {va} the {noun}, {adj} and {adj2}, as if it might explain everything.",
    "We HOLD on the {noun} a moment too long.",
    "{Name} {va} the {adj} {noun2} from the {noun}. Something is wrong.",
    "Through the {noun}, we see {Name2} {va} the {noun2}.",
]
DIALOGUE_TEMPLATES = [
    "I {vb} what you did with the {noun}.",
    "You don't {vb} me. You never did.",
    "Where were you last night?",
    "It was a {adj} {noun}. That's all it was.",
    "Tell {name2} I'll be there by {time}.",
    "I can't {vb} this anymore. Not after the {noun}.",
    "Do you {vb} how long I waited by that {noun}?",
    "Put the {noun} down, {name2}.",
    "Everybody wants something. What do you want?",
    "The {noun} was {adj} when I found it. {Adj2}, like somebody {va2} it.",
    "We had a deal. You {vb} that, right?",
    "Don't. Just... don't.",
    "I'm not asking you to {vb} me. I'm asking you to {vb2} the {noun}.",
    "Funny. I was going to say the same thing about you.",
    "{Name2} was here. I can smell the {noun}.",
    "You think a {adj} {noun} changes anything?",
    "Go home, {name2}. Get some sleep.",
    "Maybe. Maybe not. Ask me tomorrow.",
]


def wrap(text, width):
    words = text.split()
    lines, cur = [], ''
    for w in words:
        if cur and len(cur) + 1 + len(w) > width:
            lines.append(cur)
            cur = w
        else:
            cur = (cur + ' ' + w) if cur else w
    if cur:
        lines.append(cur)
    return lines


def fill(rng, template, names):
    name, name2 = rng.sample(names, 2)
    adj, adj2 = rng.sample(ADJS, 2)
    noun, noun2 = rng.sample(NOUNS, 2)
    vb, vb2 = rng.sample(VERBS_BASE, 2)
    hour = rng.randint(1, 12)
    return template.format(
        Name=name.title(), Name2=name2.title(), name2=name2.title(),
        va=rng.choice(VERBS_ACTION), va2=rng.choice(VERBS_ACTION)[:-1] + 'ed',
        adj=adj, adj2=adj2, Adj2=adj2.capitalize(), noun=noun, noun2=noun2,
        adv=rng.choice(ADVERBS), vb=vb, vb2=vb2,
        time='%d o\'clock' % hour)


def screenplay(rng, title, author, target):
    """Plain-text screenplay in the usual fixed indents: action at the left
    margin, character cues at 37, parentheticals at 31, dialogue at 25."""
    out = []
    out += [''] * 18
    out.append(' ' * 30 + title.upper())
    out.append('')
    out.append(' ' * 36 + 'by')
    out.append('')
    out.append(' ' * 32 + author)
    out += [''] * 20
    out.append('FADE IN:')
    out.append('')
    cast = rng.sample(FIRST_NAMES, 8)
    size = sum(len(l) + 2 for l in out)
    scene = 0
    while size < target:
        scene += 1
        place = rng.choice(PLACES)
        if rng.random() < 0.4:
            place = rng.choice(OWNERS) + ' ' + place
        slug = '%s. %s - %s' % (rng.choice(['INT', 'INT', 'EXT']), place,
                                rng.choice(TIMES))
        block = [slug, '']
        present = rng.sample(cast, rng.randint(2, 4))
        for _ in range(rng.randint(1, 3)):
            para = ' '.join(fill(rng, rng.choice(ACTION_TEMPLATES), present)
                            for _ in range(rng.randint(1, 3)))
            block += wrap(para, 60) + ['']
        speaker = None
        for _ in range(rng.randint(4, 16)):
            if rng.random() < 0.15:
                para = fill(rng, rng.choice(ACTION_TEMPLATES), present)
                block += wrap(para, 60) + ['']
                continue
            speaker = rng.choice([p for p in present if p != speaker])
            cue = speaker
            if rng.random() < 0.05:
                cue += " (CONT'D)"
            block.append(' ' * 37 + cue)
            if rng.random() < 0.25:
                block.append(' ' * 31 + rng.choice(PARENTHETICALS))
            speech = ' '.join(fill(rng, rng.choice(DIALOGUE_TEMPLATES), present)
                              for _ in range(rng.randint(1, 3)))
            block += [' ' * 25 + l for l in wrap(speech, 35)]
            block.append('')
        if rng.random() < 0.5:
            block += [' ' * 60 + rng.choice(TRANSITIONS), '']
        out += block
        size += sum(len(l) + 2 for l in block)
    out += [' ' * 60 + 'FADE OUT.', '', ' ' * 36 + 'THE END', '']
    return ('\r\n'.join(out)).encode('ascii')


TIPS = [
    "Press TAB after a scene heading to start an action paragraph.",
    "Press ENTER twice after dialogue to return to action.",
    "Type the first letters of a character name and Quillmark completes it.",
    "Use the Scene Navigator to drag whole scenes to a new place.",
    "Choose Format > Page Layout to switch between film and television styles.",
    "Colour schemes change only the screen, never the printed page.",
    "Quillmark keeps a backup of every script in the Backup folder.",
    "Right-click a misspelled word to see suggestions from the dictionary.",
    "Add your own words to the user dictionary with Tools > Spelling > Add.",
    "Use the Thesaurus (Shift+F7) to find another word for the selection.",
    "Revision marks show every change since you locked the pages.",
    "Lock pages before sending a production draft so page numbers stay put.",
    "Character reports list every line a character speaks.",
    "Press Ctrl+1 through Ctrl+8 to change the current element quickly.",
    "Notes attached to a scene never print unless you ask them to.",
    "The title page is kept apart from the script so page one is page one.",
    "Export to RTF to send your script to people without Quillmark.",
    "Use (MORE) and (CONT'D) settings under Format > Options.",
    "Dual dialogue puts two speeches side by side.",
    "The Index Card view shows one card per scene.",
]


def hints(rng):
    lines = ['Quillmark 2003 Tips', '']
    for n in range(1, 301):
        tip = TIPS[(n - 1) % len(TIPS)]
        extra = ' '.join(fill(rng, rng.choice(ACTION_TEMPLATES), FIRST_NAMES)
                         for _ in range(rng.randint(0, 2)))
        lines.append('[Tip %d]' % n)
        lines += wrap(tip, 72)
        if extra:
            lines += wrap('Example: ' + extra, 72)
        lines.append('')
    return '\r\n'.join(lines).encode('ascii')


GUIDE_SECTIONS = ["Starting a new script", "Scene headings", "Action",
                  "Character names", "Dialogue", "Parentheticals",
                  "Transitions", "Shots", "Page layouts", "Colour schemes",
                  "Spelling", "Thesaurus", "Reports", "Revisions",
                  "Printing", "Title pages", "Keyboard shortcuts",
                  "Index cards", "Notes", "Backups"]
GUIDE_SENTENCES = [
    "To start, choose {menu} and pick the element you want.",
    "Quillmark formats the {elem} for you as you type.",
    "Press {key} to move to the next element.",
    "You can change the {elem} indent in the page layout.",
    "The {elem} never breaks across pages unless you allow it.",
    "When you print, Quillmark adds {more} automatically.",
    "Settings for the {elem} are kept with each script.",
    "If the {elem} looks wrong, check the page layout first.",
    "Most writers keep the {elem} short; one or two lines is common.",
    "Use {key} to open the {menu} dialog.",
]


def rtf_escape(s):
    return s.replace('\\', '\\\\').replace('{', '\\{').replace('}', '\\}')


def rtf_guide(rng, title, target):
    head = ('{\\rtf1\\ansi\\ansicpg1252\\deff0'
            '{\\fonttbl{\\f0\\froman\\fcharset0 Times New Roman;}'
            '{\\f1\\fswiss\\fcharset0 Arial;}{\\f2\\fmodern\\fcharset0 Courier New;}}\r\n'
            '{\\colortbl;\\red0\\green0\\blue0;\\red128\\green0\\blue0;\\red0\\green0\\blue128;}\r\n'
            '{\\info{\\title %s}{\\author Kestrel}{\\company Kestrel}}\r\n'
            '\\paperw12240\\paperh15840\\margl1440\\margr1440\\margt1440\\margb1440\r\n'
            '\\pard\\qc\\f1\\fs40\\cf2\\b %s\\b0\\par\r\n'
            '\\pard\\qc\\fs24\\cf1 Quillmark 2003\\par\\par\r\n') % (title, title)
    parts = [head]
    size = len(head)
    chapter = 0
    while size < target:
        chapter += 1
        section = GUIDE_SECTIONS[(chapter - 1) % len(GUIDE_SECTIONS)]
        block = ['\\pard\\sb240\\sa120\\f1\\fs28\\cf3\\b %d. %s\\b0\\cf1\\par\r\n'
                 % (chapter, rtf_escape(section))]
        for _ in range(rng.randint(3, 7)):
            sents = []
            for _ in range(rng.randint(3, 7)):
                s = rng.choice(GUIDE_SENTENCES).format(
                    menu=rng.choice(['Format > Elements', 'File > New',
                                     'Tools > Spelling', 'View > Cards',
                                     'Format > Page Layout']),
                    elem=section.lower(), key=rng.choice(
                        ['TAB', 'ENTER', 'Ctrl+T', 'Ctrl+Shift+R', 'F7', 'Alt+L']),
                    more=rng.choice(['(MORE)', "(CONT'D)", 'scene numbers']))
                sents.append(rtf_escape(s))
            block.append('\\pard\\fi360\\sa120\\f0\\fs24 %s\\par\r\n' % ' '.join(sents))
            if rng.random() < 0.3:
                ex = fill(rng, rng.choice(DIALOGUE_TEMPLATES), FIRST_NAMES)
                block.append('\\pard\\li2880\\f2\\fs24 %s\\par\r\n'
                             '\\pard\\li1800\\ri2160\\f2\\fs24 %s\\par\r\n'
                             % (rng.choice(FIRST_NAMES), rtf_escape(ex)))
        if rng.random() < 0.4:
            block.append('\\pard\\li360\\f0\\fs22\\i Tip:\\i0  %s\\par\r\n'
                         % rtf_escape(rng.choice(TIPS)))
        text = ''.join(block)
        parts.append(text)
        size += len(text)
    parts.append('}\r\n')
    return ''.join(parts).encode('cp1252')


ONSETS = ['', 'b', 'c', 'd', 'f', 'g', 'h', 'j', 'k', 'l', 'm', 'n', 'p', 'r',
          's', 't', 'v', 'w', 'br', 'cl', 'cr', 'dr', 'fl', 'gr', 'pl', 'pr',
          'sh', 'st', 'str', 'th', 'tr', 'ch', 'sc', 'sp', 'qu']
VOWELS = ['a', 'e', 'i', 'o', 'u', 'ea', 'ai', 'ou', 'ee', 'oo', 'io', 'y']
CODAS = ['', '', 'n', 'r', 'l', 's', 't', 'nd', 'nt', 'st', 'ck', 'm', 'ng',
         'rt', 'ss', 'x']
SUFFIXES = ['', '', '', 's', 'ed', 'ing', 'er', 'ly', 'tion', 'ness', 'ment',
            'able', 'ous', 'ive', 'ful', 'less', 'ity', 'ist']


def dictionary_words(rng, target):
    words = set(COMMON) | set(w.lower() for w in NOUNS + ADJS + VERBS_BASE + ADVERBS)
    size = sum(len(w) + 2 for w in words)
    while size < target:
        w = ''.join(rng.choice(ONSETS) + rng.choice(VOWELS) + rng.choice(CODAS)
                    for _ in range(rng.randint(1, 3))) + rng.choice(SUFFIXES)
        if 2 <= len(w) <= 18 and w not in words:
            words.add(w)
            size += len(w) + 2
    return sorted(words)


def fnv1a(word):
    h = 0x811C9DC5
    for b in word.encode('ascii'):
        h = ((h ^ b) * 0x01000193) & 0xFFFFFFFF
    return h


def dictionary_index(words):
    """Companion index for words.dct: for each first letter, the byte offset
    and word number where that letter starts; then an open-addressing hash
    table (FNV-1a, linear probing) of byte offsets, 0xFFFFFFFF = empty."""
    offsets, pos = [], 0
    for w in words:
        offsets.append(pos)
        pos += len(w) + 2
    letters = []
    for c in 'abcdefghijklmnopqrstuvwxyz':
        i = next((k for k, w in enumerate(words) if w[0] >= c), len(words))
        letters.append((offsets[i] if i < len(words) else pos, i))
    buckets = 1
    while buckets < len(words) * 2:
        buckets *= 2
    table = [0xFFFFFFFF] * buckets
    for w, off in zip(words, offsets):
        slot = fnv1a(w) & (buckets - 1)
        while table[slot] != 0xFFFFFFFF:
            slot = (slot + 1) & (buckets - 1)
        table[slot] = off
    out = bytearray(b'QMDX')
    out += struct.pack('<HHIII', 1, 26, len(words), pos, buckets)
    for off, idx in letters:
        out += struct.pack('<II', off, idx)
    out += struct.pack('<%dI' % buckets, *table)
    return bytes(out)


def thesaurus(rng, words):
    """syn.bin: header, a string pool of head words, and for each head word a
    list of synonym word numbers into words.dct."""
    heads = sorted(rng.sample(words, min(12000, len(words))))
    pool = bytearray()
    entries = bytearray()
    groups = bytearray()
    for h in heads:
        syns = sorted(rng.sample(range(len(words)), rng.randint(2, 9)))
        entries += struct.pack('<IIH', len(pool), len(groups), len(syns))
        pool += h.encode('ascii') + b'\0'
        groups += struct.pack('<%dI' % len(syns), *syns)
    header_size = 4 + 2 + 2 + 4 * 4
    entries_off = header_size
    pool_off = entries_off + len(entries)
    groups_off = pool_off + len(pool)
    header = b'QMTH' + struct.pack('<HHIIII', 1, 0, len(heads), entries_off,
                                   pool_off, groups_off)
    return header + bytes(entries) + bytes(pool) + bytes(groups)


HELP_TOPICS = [("Welcome to Quillmark 2003", "welcome"),
               ("Installing and registering", "install"),
               ("The Quillmark window", "window")] + [
    (s, s.lower().replace(' ', '_')) for s in GUIDE_SECTIONS] + [
    ("Menu reference: File", "menu_file"), ("Menu reference: Edit", "menu_edit"),
    ("Menu reference: Format", "menu_format"), ("Menu reference: Tools", "menu_tools"),
    ("Menu reference: View", "menu_view"), ("Menu reference: Help", "menu_help"),
    ("Technical support", "support"), ("Frequently asked questions", "faq")]


def help_topic_text(rng, title):
    paras = []
    for _ in range(rng.randint(6, 14)):
        sents = [rng.choice(GUIDE_SENTENCES).format(
            menu=rng.choice(['Format > Elements', 'File > Open', 'Tools > Reports',
                             'View > Navigator']),
            elem=title.lower(), key=rng.choice(['TAB', 'ENTER', 'F1', 'Ctrl+K']),
            more=rng.choice(['(MORE)', "(CONT'D)", 'page numbers']))
            for _ in range(rng.randint(3, 8))]
        sents += [rng.choice(TIPS)]
        paras.append(' '.join(sents))
    return (title + '\r\n\r\n' + '\r\n\r\n'.join(paras) + '\r\n').encode('ascii')


def help_file(rng):
    """Quillmark.hlp: header, topic table (id, context-name offset, title
    offset, text offset, text length, crc32), then the text area. Topic texts
    are zlib-compressed, as the reader expands them on demand."""
    topics = []
    for n, (title, ctx) in enumerate(HELP_TOPICS, 1):
        for part in range(1, 5):
            t = title if part == 1 else '%s (%d)' % (title, part)
            c = ctx if part == 1 else '%s_%d' % (ctx, part)
            topics.append((n * 10 + part, c, t, help_topic_text(rng, t)))
    strings = bytearray()
    blobs = bytearray()
    table = bytearray()
    for tid, ctx, title, text in topics:
        ctx_off = len(strings)
        strings += ctx.encode('ascii') + b'\0'
        title_off = len(strings)
        strings += title.encode('ascii') + b'\0'
        packed = zlib.compress(text, 9)
        table += struct.pack('<IIIIIII', tid, ctx_off, title_off, len(blobs),
                             len(packed), len(text), zlib.crc32(text))
        blobs += packed
    header_size = 32
    table_off = header_size
    strings_off = table_off + len(table)
    blobs_off = strings_off + len(strings)
    header = struct.pack('<8sHHIIII', b'QMHELP\x1a\0', 1, 0, len(topics),
                         table_off, strings_off, blobs_off)
    header += b'\0' * (header_size - len(header))
    return header + bytes(table) + bytes(strings) + bytes(blobs), topics


def help_contents(topics):
    lines = [':Base Quillmark.hlp', ':Title Quillmark 2003 Help',
             ':Index Quillmark 2003 Help=Quillmark.hlp']
    current = None
    for tid, ctx, title, _ in topics:
        group = title.split(' (')[0]
        if group != current:
            current = group
            lines.append('1 ' + group)
        lines.append('2 %s=%s' % (title, ctx))
    return ('\r\n'.join(lines) + '\r\n').encode('ascii')


SCHEMES = ["Classic", "Midnight", "Parchment", "High Contrast", "Ocean",
           "Forest", "Studio Grey", "Sunset"]
SCHEME_KEYS = ["Background", "Text", "SceneHeading", "Action", "Character",
               "Dialogue", "Parenthetical", "Transition", "Selection",
               "PageBreak", "Notes", "RevisionMark"]


def scheme(rng, n, name):
    lines = ['; Quillmark 2003 colour scheme', '[Scheme]', 'Name=%s' % name,
             'Version=1', 'Dark=%d' % (1 if name in ('Midnight', 'Ocean') else 0),
             '', '[Colors]']
    for k in SCHEME_KEYS:
        lines.append('%s=%d,%d,%d' % (k, rng.randrange(256), rng.randrange(256),
                                      rng.randrange(256)))
    lines += ['', '[Font]', 'Face=%s' % rng.choice(['Courier New', 'Courier',
                                                    'Lucida Console']),
              'Size=%d' % rng.choice([10, 12, 14]), 'Bold=0',
              'Scheme=%d' % n, '']
    return '\r\n'.join(lines).encode('ascii')


LAYOUTS = ["Feature Film", "Feature Film (A4)", "Sitcom (Tape)", "Sitcom (Film)",
           "One-Hour Drama", "Stage Play", "Radio Play", "Treatment",
           "Documentary (Two Column)", "Comic Book", "Animation",
           "Novel Manuscript", "Feature (Tight)", "Shooting Script",
           "Audio Drama (UK)"]
# Usual indent and width from the left margin, in thousandths of an inch;
# each layout varies them a little so no two files are alike.
ELEMENTS = [("SceneHeading", 0, 6000), ("Action", 0, 6000),
            ("Character", 2200, 3300), ("Dialogue", 1000, 3500),
            ("Parenthetical", 1600, 2500), ("Transition", 4000, 2000),
            ("Shot", 0, 6000)]


def layout(rng, name):
    a4 = 'A4' in name or 'UK' in name
    lines = ['; Quillmark 2003 page layout', '[Layout]', 'Name=%s' % name,
             'Version=1', '', '[Page]',
             'Paper=%s' % ('A4' if a4 else 'Letter'),
             'Width=%d' % (8268 if a4 else 8500),
             'Height=%d' % (11693 if a4 else 11000),
             'MarginTop=%d' % rng.choice([750, 1000, 1250]),
             'MarginBottom=%d' % rng.choice([500, 750, 1000]),
             'MarginLeft=%d' % rng.choice([1250, 1500, 1750]),
             'MarginRight=%d' % rng.choice([750, 1000]),
             'LinesPerPage=%d' % rng.randint(50, 58),
             'PageNumbers=%s' % rng.choice(['TopRight', 'BottomCenter']),
             '', '[Font]', 'Face=Courier New', 'Size=12', '', '[Elements]']
    for e, indent, width in ELEMENTS:
        lines.append('%s=Indent:%d,Width:%d,SpaceBefore:%d,Caps:%d' % (
            e, max(0, indent + rng.randint(-2, 2) * 100), width + rng.randint(-3, 3) * 100,
            1 if e in ('SceneHeading', 'Character', 'Transition') else rng.randint(0, 1),
            1 if e in ('SceneHeading', 'Character', 'Transition') else 0))
    lines.append('')
    return '\r\n'.join(lines).encode('ascii')


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_payload.py OUTDIR')
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    rng = random.Random(SEED)
    files = {}
    scripts = [("The Long Goodbye Shift", "Ray Holt", 190000),
               ("Harbor Lights", "June Marlow", 240000),
               ("Last Train to Dunmore", "Vera Castle", 150000)]
    for n, (title, author, size) in enumerate(scripts, 1):
        files['Sample%d.scp' % n] = screenplay(rng, title, author, size)
    files['hints.txt'] = hints(rng)
    files['Guide1.rtf'] = rtf_guide(rng, 'Quillmark 2003 Quick Reference', 130000)
    files['Guide2.rtf'] = rtf_guide(rng, 'Writing Your First Screenplay', 220000)
    words = dictionary_words(rng, 1000000)
    files['words.dct'] = ('\r\n'.join(words) + '\r\n').encode('ascii')
    files['words2.bin'] = dictionary_index(words)
    hlp, topics = help_file(rng)
    files['Quillmark.hlp'] = hlp
    files['Quillmark.cnt'] = help_contents(topics)
    files['syn.bin'] = thesaurus(rng, words)
    for n, name in enumerate(SCHEMES, 1):
        files['Scheme%d.scm' % n] = scheme(rng, n, name)
    for n, name in enumerate(LAYOUTS, 1):
        files['Layout%02d.stp' % n] = layout(rng, name)
    total = 0
    for name in sorted(files):
        with open(os.path.join(outdir, name), 'wb') as f:
            f.write(files[name])
        total += len(files[name])
    print('%d files, %d bytes total' % (len(files), total))


if __name__ == '__main__':
    main()
