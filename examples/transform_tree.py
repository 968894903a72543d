"""A small budget model put through the three tree transformations:

1. rename_nodes: the user renames "Staff" to "Salaries" and deletes the
   first of three "Travel" lines; the formulas written against the old model
   follow, and the reference to the deleted line becomes REF! rather than
   silently meaning the line that is first now.
2. expand_tree_formulas: every computed figure written out in terms of the
   input figures only.
3. explain_node: why the "Margin" is what it is, as a JSON-ready record.

    python examples/transform_tree.py
"""

import copy
import json
from dataclasses import dataclass, field

import morvax_formulas


@dataclass
class Item:
    id: str
    name: str
    formula: str | list[str] = ""
    is_hidden: bool = False
    children: list["Item"] = field(default_factory=list)


def show(title: str, root: Item) -> None:
    print(f"{title}:")
    todo = [(root, 0)]
    while todo:
        item, depth = todo.pop()
        print(f"  {'  ' * depth}{item.name:<{24 - 2 * depth}} {item.formula}")
        todo.extend((child, depth + 1) for child in reversed(item.children))
    print()


old = Item("budget", "Budget", "=sum(children)", children=[
    Item("rev", "Revenue", ["1200", "1500"]),
    Item("staff", "Staff", "800"),
    Item("flights", "Travel", "=@Staff * 5%"),
    Item("hotels", "Travel", "60"),
    Item("taxis", "Travel", "25"),
    Item("costs", "Costs", "=@Staff + @Travel[1] + @Travel[2] + @Travel[3]"),
    Item("margin", "Margin", "=@Revenue - @Costs"),
])
show("before the edit", old)

# The user's edit: a rename and a deletion. The formulas still say @Staff
# and @Travel[1]; rename_nodes brings them up to date.
new = copy.deepcopy(old)
new.children[1].name = "Salaries"
del new.children[2]
new = morvax_formulas.rename_nodes(old, new)
show("after rename_nodes", new)

show("after expand_tree_formulas", morvax_formulas.expand_tree_formulas(new))

print("explain_node(model, 'margin'):")
print(json.dumps(morvax_formulas.explain_node(new, "margin"), indent=2))
