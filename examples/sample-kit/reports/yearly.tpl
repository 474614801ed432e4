# Yearly report template
title = Annual summary
sections = revenue, expenses, outlook
