"""Wrong uses that the stubs must let mypy catch; each line is expected to fail."""

import morvax_formulas

morvax_formulas.evaluate(1)
count: int = morvax_formulas.evaluate_boolean("1 < 2")
morvax_formulas.evaluate(text="=1")
morvax_formulas.no_such_function()
morvax_formulas.evaluate_tree({"name": "n", "formula": "=1", "children": []})
pairs: list[str] = morvax_formulas.get_tokens("=1")


class Item:
    name = "a"
    formula = "=1"
    children: list["Item"] = []


morvax_formulas.explain_node(Item(), "a")["children"]
