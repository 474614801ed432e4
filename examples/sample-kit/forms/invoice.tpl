# Invoice template
title = Invoice
fields = number, date, customer, items, total
footer = Thank you for your business.
