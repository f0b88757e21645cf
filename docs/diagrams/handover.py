"""Draw docs/diagrams/handover.svg: what happens when a device whose OS is
"generic" learns its OS and is handed over to the learned OS's connection
class. Plain Python, no packages: run it after changing the steps below.

    python3 docs/diagrams/handover.py
"""
from pathlib import Path
from xml.sax.saxutils import escape

OUT = Path(__file__).with_suffix(".svg")
WIDTH = 1240
TOP = 80  # where the lifelines start, below their heads
LINE = 15  # height of one text line
FONT = "font-family='DejaVu Sans, Verdana, sans-serif' font-size='12'"

# Lifelines: key, x, head text.
LIVES = [
    ("dev", 125, ["Device", "(device.py)"]),
    ("reg", 345, ["ClassRegistry", "(registry.py)"]),
    ("gen", 590, ["generic connection", "(connection.py, multi_connection.py)"]),
    ("lb", 845, ["its link broker (C++)", "single_rp, multi_rp, os_learning.cpp"]),
    ("new", 1105, ["learned OS's connection", "and its link broker"]),
]
X = {key: x for key, x, _ in LIVES}

# The steps, top to bottom:
#   ("call", source, target, [label lines])     a call
#   ("back", source, target, [label lines])     what comes back
#   ("note", left, right, [text lines], colour) a box across lifelines
STEPS = [
    ("call", "dev", "reg", ['get_plugin(os="generic", platform,', "model, chassis_type)"]),
    ("back", "reg", "dev", ["the generic class of the chassis type"]),
    ("call", "dev", "gen", ["cls(device, alias, **options).connect()"]),
    ("note", "gen", "gen", ["open the lines: one spawn per console"], "#eef3fb"),
    ("call", "gen", "lb", ["link_broker_class(con).connect()",
                           "(a stack: os_learning_link_broker_class)"]),
    ("note", "lb", "lb", ['os == "generic" and learn_os:', 'add the state "learn_os",',
                          "establish_connection(): every line", "to a prompt"], "#eef3fb"),
    ("call", "lb", "gen", ["execute(command) for each", "LEARN_OS_COMMANDS (each line in turn)"]),
    ("back", "gen", "lb", ["output"]),
    ("note", "lb", "lb", ["learn_os_platform(con, output,", "OS_MAPPING) -> (os, platform)"],
     "#eef3fb"),
    ("note", "gen", "lb", ['no OS recognised: the broker raises Exception("Failed to learn device os");',
                           "the connection closes its lines and raises OsLearningError instead,",
                           "naming each command tried and what each line answered. Nothing below happens."],
     "#fbeeee"),
    ("call", "lb", "dev", ["device.os, device.platform = the learned ones"]),
    ("call", "lb", "dev", ["device.destroy()"]),
    ("note", "dev", "gen", ["every connection of the device is disconnected: the learning one's lines",
                            "close too. Every other alias becomes ClosedByHandOver (a warning names",
                            "it; using it raises ConnectionError until it is connected again)."],
     "#fbf6e6"),
    ("call", "lb", "dev", ["device.connect(**update_connection_kwargs(con)):",
                           "the same alias and options, without learn_os"]),
    ("call", "dev", "reg", ["get_plugin(os=learned, platform=", "learned, model, chassis_type)"]),
    ("back", "reg", "dev", ["the learned OS's class"]),
    ("call", "dev", "new", ["cls(device, alias, **options).connect()"]),
    ("note", "new", "new", ["opens the lines anew; its own", "link broker's whole bring-up:",
                            "prompts, hostname, designation,", "enable, initial commands,",
                            "HA mode"], "#eef7ee"),
    ("back", "new", "dev", ["device.<alias> is the new connection"]),
    ("back", "dev", "lb", ["getattr(device, alias): the new connection"]),
    ("call", "lb", "gen", ["take over its spawn(s)", "(multi-RP: by position; then", "mit = True, handles designated)"]),
    ("back", "gen", "dev", ["connect() returns: the device is driven through the learned OS's class"]),
]


def text(x: float, y: float, lines, anchor: str = "middle", weight: str = "normal") -> str:
    spans = "".join("<tspan x='%g' y='%g'>%s</tspan>" % (x, y + i * LINE, escape(line))
                    for i, line in enumerate(lines))
    return "<text %s text-anchor='%s' font-weight='%s'>%s</text>" % (FONT, anchor, weight, spans)


def arrow(step, y: float) -> "tuple[list, float]":
    kind, source, target, lines = step
    x1, x2 = X[source], X[target]
    label_y = y + 12
    line_y = label_y + (len(lines) - 1) * LINE + 8
    dash = " stroke-dasharray='6 4'" if kind == "back" else ""
    head = "url(#open)" if kind == "back" else "url(#solid)"
    parts = [text((x1 + x2) / 2, label_y, lines),
             "<line x1='%g' y1='%g' x2='%g' y2='%g' stroke='#333' stroke-width='1.3'%s "
             "marker-end='%s'/>" % (x1, line_y, x2, line_y, dash, head)]
    return parts, line_y + 14


def note(step, y: float) -> "tuple[list, float]":
    _, left, right, lines, colour = step
    # About 6.6 pixels a character of the 12 px font, and a margin.
    wide = max(len(line) for line in lines) * 6.6 + 24
    middle = (X[left] + X[right]) / 2
    half = max(wide / 2, (X[right] - X[left]) / 2 + 90)
    x1, x2 = middle - half, middle + half
    height = len(lines) * LINE + 10
    parts = ["<rect x='%g' y='%g' width='%g' height='%g' rx='4' fill='%s' stroke='#999'/>"
             % (x1, y + 4, x2 - x1, height, colour),
             text((x1 + x2) / 2, y + 4 + LINE, lines)]
    return parts, y + height + 12


def render() -> str:
    body, y = [], TOP + 10
    for step in STEPS:
        parts, y = (note if step[0] == "note" else arrow)(step, y)
        body += parts
    bottom = y + 10
    heads = []
    for _, x, lines in LIVES:
        heads.append("<rect x='%g' y='28' width='210' height='40' rx='5' fill='#dde6f4' "
                     "stroke='#557'/>" % (x - 105))
        heads.append(text(x, 44, lines[:1], weight="bold"))
        heads.append("<text %s text-anchor='middle' x='%g' y='60' font-size='10'>%s</text>"
                     % (FONT.replace("font-size='12'", ""), x, escape(lines[1])))
        heads.append("<line x1='%g' y1='68' x2='%g' y2='%g' stroke='#99a' "
                     "stroke-dasharray='3 3'/>" % (x, x, bottom))
    title = text(WIDTH / 2, 18, ["An OS hand-over: a generic device learns its OS"], weight="bold")
    defs = ("<defs>"
            "<marker id='solid' markerWidth='10' markerHeight='8' refX='9' refY='4' orient='auto'>"
            "<path d='M0,0 L10,4 L0,8 z' fill='#333'/></marker>"
            "<marker id='open' markerWidth='10' markerHeight='8' refX='9' refY='4' orient='auto'>"
            "<path d='M0,0 L10,4 L0,8' fill='none' stroke='#333'/></marker>"
            "</defs>")
    return ("<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' viewBox='0 0 %d %d'>\n"
            "<rect width='100%%' height='100%%' fill='white'/>\n%s\n%s\n%s\n%s\n</svg>\n"
            % (WIDTH, bottom + 10, WIDTH, bottom + 10, defs, title,
               "\n".join(heads), "\n".join(body)))


if __name__ == "__main__":
    OUT.write_text(render())
    print("wrote", OUT)
