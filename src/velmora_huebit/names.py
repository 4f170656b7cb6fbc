"""Colour names: the nearest named colour of a list, by CIEDE2000.

::

    from velmora_huebit.names import nearest_name, add_names

    nearest_name((177, 89, 46))                # 'sienna'
    add_names(records)  # a 'name' beside each record's 'color'

The public home of velmora_huebit.colour.names, where the lists and their
search are described.
"""

from velmora_huebit.colour.names import NAME_LISTS, add_names, ciede2000, nearest_name, nearest_names, srgb_to_lab

__all__ = ["NAME_LISTS", "nearest_name", "nearest_names", "add_names", "srgb_to_lab", "ciede2000"]
